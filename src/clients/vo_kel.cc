// VoKel: gives the service one access-entry command (kel add, del, show).
#include "clients/client_program.h"

namespace {

using clients::Check;
using clients::CommandText;
using clients::ParsedArgs;
using clients::WordKind;

enum Field { kTarget, kSource, kSourceMac };

const clients::WordRule kGrammar[] = {
    {"add", WordKind::kOperationIfMore, -1, Check::kNone},
    {"del", WordKind::kOperationIfMore, -1, Check::kNone},
    {"show", WordKind::kOperation, -1, Check::kNone},
    {"accept", WordKind::kStandalone, kTarget, Check::kNone},
    {"drop", WordKind::kStandalone, kTarget, Check::kNone},
    {"source", WordKind::kValue, kSource, Check::kIpAddress},
    {"source-mac", WordKind::kValue, kSourceMac, Check::kMacAddress},
    {nullptr, WordKind::kOperation, -1, Check::kNone},
};

bool BuildAddDel(const ParsedArgs& args, CommandText* text) {
  if (args.fields[kTarget] == nullptr || args.fields[kSource] == nullptr) return false;
  text->Add("kel ");
  text->Add(args.operation);
  text->AddIf(" ", args.fields[kTarget]);
  text->AddIf(" source ", args.fields[kSource]);
  // The MAC goes out as typed; the service reads every accepted spelling.
  text->AddIf(" source-mac ", args.fields[kSourceMac]);
  return true;
}

bool BuildShow(const ParsedArgs& args, CommandText* text) {
  static const int kRefused[] = {kSource, kSourceMac, -1};
  return clients::BuildPlain("kel", kRefused, args, text);
}

const char kAddDelUsage[] =
    "VoKel: invalid option\r\n\r\n"
    "Usage: VoKel @ TARGET source SRC_IP [source-mac SRC_MAC] [--dst DST_IP] [--dport "
    "DST_PORT]\r\n\r\n"
    "Examples:\r\n  VoKel @ accept source 172.16.0.1 source-mac 00:00:00:00:00:01\r\n";

const char kShowUsage[] =
    "VoKel: invalid option\r\n\r\n"
    "Usage: VoKel show [--dst DST_IP] [--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n  VoKel\r\n";

const clients::Operation kOperations[] = {
    {"add", BuildAddDel, kAddDelUsage},
    {"del", BuildAddDel, kAddDelUsage},
    {"show", BuildShow, kShowUsage},
    {nullptr, nullptr, nullptr},
};

const char kGeneralUsage[] =
    "VoKel: invalid option\r\n\r\n"
    "Usage: VoKel OPERATION [TARGET] [source SRC_IP] [source-mac SRC_MAC] [--dst DST_IP] "
    "[--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n"
    "  VoKel add accept source 172.16.0.1 source-mac 00:00:00:00:00:01\r\n"
    "  VoKel del accept source 172.16.0.1 source-mac 00:00:00:00:00:01\r\n\r\n"
    "OPERATION:         (add/del/show)\r\n"
    "TARGET:            (accept/drop)\r\n"
    "SRC_IP:            IP address of PC\r\n"
    "SRC_MAC:           MAC address of PC\r\n"
    "--dst:             IP address of a Kel Server\r\n"
    "--dport:           Port number of a Kel Server\r\n";

}  // namespace

int main(int argc, char** argv) {
  const clients::ClientProgram program = {"VoKel", kGrammar, kOperations, kGeneralUsage};
  return clients::RunClient(program, argc, argv);
}
