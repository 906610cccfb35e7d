// VoPvroute: gives the service one command on the routes behind a router.
#include "clients/client_program.h"

namespace {

using clients::Check;
using clients::CommandText;
using clients::ParsedArgs;
using clients::WordKind;

enum Field { kTarget, kNetwork, kNetmask, kDev };

const clients::WordRule kGrammar[] = {
    {"add", WordKind::kOperationTarget, kTarget, Check::kIpAddress},
    {"del", WordKind::kOperationTarget, kTarget, Check::kIpAddress},
    {"save", WordKind::kOperation, -1, Check::kNone},
    {"load", WordKind::kOperation, -1, Check::kNone},
    {"clear", WordKind::kOperation, -1, Check::kNone},
    {"show", WordKind::kOperation, -1, Check::kNone},
    {"network", WordKind::kValue, kNetwork, Check::kIpAddress},
    {"netmask", WordKind::kValue, kNetmask, Check::kIpAddress},
    {"dev", WordKind::kValue, kDev, Check::kNone},
    {nullptr, WordKind::kOperation, -1, Check::kNone},
};

bool BuildAddDel(const ParsedArgs& args, CommandText* text) {
  if (args.fields[kTarget] == nullptr || args.fields[kNetwork] == nullptr) return false;
  text->Add("pvroute ");
  text->Add(args.operation);
  text->AddIf(" ", args.fields[kTarget]);
  text->AddIf(" network ", args.fields[kNetwork]);
  text->AddIf(" netmask ", args.fields[kNetmask]);
  text->AddIf(" dev ", args.fields[kDev]);
  return true;
}

bool BuildPlain(const ParsedArgs& args, CommandText* text) {
  static const int kRefused[] = {kTarget, kNetwork, kNetmask, kDev, -1};
  return clients::BuildPlain("pvroute", kRefused, args, text);
}

const char kAddDelUsage[] =
    "VoPvroute: invalid option\r\n\r\n"
    "Usage: VoPvroute @ TARGET network NW [netmask NM] [dev IF] [--dst DST_IP] [--dport "
    "DST_PORT]\r\n\r\n"
    "Examples:\r\n  VoPvroute @ 172.16.0.1 network 192.168.0.0\r\n";

const clients::Operation kOperations[] = {
    {"add", BuildAddDel, kAddDelUsage}, {"del", BuildAddDel, kAddDelUsage},
    {"save", BuildPlain, nullptr},      {"load", BuildPlain, nullptr},
    {"clear", BuildPlain, nullptr},     {"show", BuildPlain, nullptr},
    {nullptr, nullptr, nullptr},
};

const char kGeneralUsage[] =
    "VoPvroute: invalid option\r\n\r\n"
    "Usage: VoPvroute OPERATION [TARGET] [network NW] [netmask NM] [dev IF] [--dst DST_IP] "
    "[--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n"
    "  VoPvroute add 172.16.0.1 network 192.168.0.0\r\n"
    "  VoPvroute del 172.16.0.1 network 192.168.0.0\r\n"
    "  VoPvroute save\r\n"
    "  VoPvroute load\r\n"
    "  VoPvroute clear\r\n"
    "  VoPvroute show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "TARGET:            IP address of PV\r\n"
    "NW:                Network address\r\n"
    "NM:                Netmask information\r\n"
    "IF:                Interface Device\r\n"
    "--dst:             IP address of a Kel Server\r\n"
    "--dport:           Port number of a Kel Server\r\n";

}  // namespace

int main(int argc, char** argv) {
  const clients::ClientProgram program = {"VoPvroute", kGrammar, kOperations, kGeneralUsage};
  return clients::RunClient(program, argc, argv);
}
