// VoPv: gives the service one router command (pv add, del, save, load, clear, show).
#include "clients/client_program.h"

namespace {

using clients::Check;
using clients::CommandText;
using clients::ParsedArgs;
using clients::WordKind;

enum Field { kTarget, kSport, kUser, kPass };

const clients::WordRule kGrammar[] = {
    {"add", WordKind::kOperationTarget, kTarget, Check::kIpAddress},
    {"del", WordKind::kOperationTarget, kTarget, Check::kIpAddress},
    {"save", WordKind::kOperation, -1, Check::kNone},
    {"load", WordKind::kOperation, -1, Check::kNone},
    {"clear", WordKind::kOperation, -1, Check::kNone},
    {"show", WordKind::kOperation, -1, Check::kNone},
    {"sport", WordKind::kValue, kSport, Check::kPort},
    {"user", WordKind::kValue, kUser, Check::kNone},
    {"pass", WordKind::kValue, kPass, Check::kNone},
    {nullptr, WordKind::kOperation, -1, Check::kNone},
};

bool BuildAddDel(const ParsedArgs& args, CommandText* text) {
  if (args.fields[kTarget] == nullptr) return false;
  text->Add("pv ");
  text->Add(args.operation);
  text->AddIf(" ", args.fields[kTarget]);
  text->AddIf(" sport ", args.fields[kSport]);
  text->AddIf(" user ", args.fields[kUser]);
  text->AddIf(" pass ", args.fields[kPass]);
  return true;
}

bool BuildPlain(const ParsedArgs& args, CommandText* text) {
  static const int kRefused[] = {kTarget, kSport, kUser, kPass, -1};
  return clients::BuildPlain("pv", kRefused, args, text);
}

const char kAddDelUsage[] =
    "VoPv: invalid option\r\n\r\n"
    "Usage: VoPv @ TARGET [sport SRC_PORT] [user ID] [pass PW] [--dst DST_IP] [--dport "
    "DST_PORT]\r\n\r\n"
    "Examples:\r\n  VoPv @ 172.16.0.1\r\n";

const clients::Operation kOperations[] = {
    {"add", BuildAddDel, kAddDelUsage}, {"del", BuildAddDel, kAddDelUsage},
    {"save", BuildPlain, nullptr},      {"load", BuildPlain, nullptr},
    {"clear", BuildPlain, nullptr},     {"show", BuildPlain, nullptr},
    {nullptr, nullptr, nullptr},
};

const char kGeneralUsage[] =
    "VoPv: invalid option\r\n\r\n"
    "Usage: VoPv OPERATION [TARGET] [sport SRC_PORT] [user ID] [pass PW] [--dst DST_IP] "
    "[--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n"
    "  VoPv add 172.16.0.1\r\n"
    "  VoPv del 172.16.0.1\r\n"
    "  VoPv save\r\n"
    "  VoPv load\r\n"
    "  VoPv clear\r\n"
    "  VoPv show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "TARGET:            IP address of PV\r\n"
    "SRC_PORT:          Port number of HTTP protocol\r\n"
    "ID:                user id of PV\r\n"
    "PW:                Password of PV\r\n"
    "--dst:             IP address of a Kel Server\r\n"
    "--dport:           Port number of a Kel Server\r\n";

}  // namespace

int main(int argc, char** argv) {
  const clients::ClientProgram program = {"VoPv", kGrammar, kOperations, kGeneralUsage};
  return clients::RunClient(program, argc, argv);
}
