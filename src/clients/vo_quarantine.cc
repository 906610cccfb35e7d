// VoQuarantine: gives the service one quarantine-server command.
#include "clients/client_program.h"

namespace {

using clients::Check;
using clients::CommandText;
using clients::ParsedArgs;
using clients::WordKind;

enum Field { kSource, kProtocol, kSport };

const clients::WordRule kGrammar[] = {
    {"add", WordKind::kOperationIfMore, -1, Check::kNone},
    {"del", WordKind::kOperationIfMore, -1, Check::kNone},
    {"save", WordKind::kOperation, -1, Check::kNone},
    {"load", WordKind::kOperation, -1, Check::kNone},
    {"clear", WordKind::kOperation, -1, Check::kNone},
    {"show", WordKind::kOperation, -1, Check::kNone},
    {"source", WordKind::kValue, kSource, Check::kIpAddress},
    {"protocol", WordKind::kValue, kProtocol, Check::kProtocol},
    {"sport", WordKind::kValue, kSport, Check::kPort},
    {nullptr, WordKind::kOperation, -1, Check::kNone},
};

bool BuildAddDel(const ParsedArgs& args, CommandText* text) {
  if (args.fields[kSource] == nullptr || args.fields[kProtocol] == nullptr ||
      args.fields[kSport] == nullptr) {
    return false;
  }
  text->Add("quarantine ");
  text->Add(args.operation);
  text->AddIf(" source ", args.fields[kSource]);
  text->AddIf(" protocol ", args.fields[kProtocol]);
  text->AddIf(" sport ", args.fields[kSport]);
  return true;
}

bool BuildPlain(const ParsedArgs& args, CommandText* text) {
  static const int kRefused[] = {kSource, kProtocol, kSport, -1};
  return clients::BuildPlain("quarantine", kRefused, args, text);
}

const char kAddDelUsage[] =
    "VoQuarantine: invalid option\r\n\r\n"
    "Usage: VoQuarantine @ source SRC_IP protocol PROTO sport SRC_PORT [--dst DST_IP] [--dport "
    "DST_PORT]\r\n\r\n"
    "Examples:\r\n  VoQuarantine @ source 172.17.254.254 protocol tcp sport 4208\r\n";

const clients::Operation kOperations[] = {
    {"add", BuildAddDel, kAddDelUsage}, {"del", BuildAddDel, kAddDelUsage},
    {"save", BuildPlain, nullptr},      {"load", BuildPlain, nullptr},
    {"clear", BuildPlain, nullptr},     {"show", BuildPlain, nullptr},
    {nullptr, nullptr, nullptr},
};

const char kGeneralUsage[] =
    "VoQuarantine: invalid option\r\n\r\n"
    "Usage: VoQuarantine OPERATION [source SRC_IP] [protocol PROTO] [sport SRC_PORT] [--dst "
    "DST_IP] [--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n"
    "  VoQuarantine add source 172.17.254.254 protocol tcp sport 4208\r\n"
    "  VoQuarantine del source 172.17.254.254 protocol tcp sport 4208\r\n"
    "  VoQuarantine save\r\n"
    "  VoQuarantine load\r\n"
    "  VoQuarantine clear\r\n"
    "  VoQuarantine show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "SRC_IP:            IP address of Quarantine Server\r\n"
    "PROTO:             Communication protocol\r\n"
    "SRC_PORT:          Port number of Quarantine Server\r\n"
    "--dst:             IP address of a Kel Server\r\n"
    "--dport:           Port number of a Kel Server\r\n";

}  // namespace

int main(int argc, char** argv) {
  const clients::ClientProgram program = {"VoQuarantine", kGrammar, kOperations, kGeneralUsage};
  return clients::RunClient(program, argc, argv);
}
