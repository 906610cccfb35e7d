// VoPc: gives the service one PC command (pc add, del, save, load, clear, show).
#include "clients/client_program.h"

namespace {

using clients::Check;
using clients::CommandText;
using clients::ParsedArgs;
using clients::WordKind;

enum Field { kSourceMac, kSource, kNetwork, kNetmask };

const clients::WordRule kGrammar[] = {
    {"add", WordKind::kOperationIfMore, -1, Check::kNone},
    {"del", WordKind::kOperationIfMore, -1, Check::kNone},
    {"save", WordKind::kOperation, -1, Check::kNone},
    {"load", WordKind::kOperation, -1, Check::kNone},
    {"clear", WordKind::kOperation, -1, Check::kNone},
    {"show", WordKind::kOperation, -1, Check::kNone},
    {"source-mac", WordKind::kValue, kSourceMac, Check::kMacAddress},
    {"source", WordKind::kValue, kSource, Check::kIpAddress},
    {"network", WordKind::kValue, kNetwork, Check::kIpAddress},
    {"netmask", WordKind::kValue, kNetmask, Check::kIpAddress},
    {nullptr, WordKind::kOperation, -1, Check::kNone},
};

bool BuildAddDel(const ParsedArgs& args, CommandText* text) {
  if (args.fields[kSourceMac] == nullptr && args.fields[kNetwork] == nullptr) return false;
  text->Add("pc ");
  text->Add(args.operation);
  text->AddIf(" source-mac ", args.fields[kSourceMac]);
  text->AddIf(" source ", args.fields[kSource]);
  text->AddIf(" network ", args.fields[kNetwork]);
  text->AddIf(" netmask ", args.fields[kNetmask]);
  return true;
}

// A network or netmask given with save, load, clear or show is not looked at.
bool BuildPlain(const ParsedArgs& args, CommandText* text) {
  static const int kRefused[] = {kSourceMac, kSource, -1};
  return clients::BuildPlain("pc", kRefused, args, text);
}

const char kAddDelUsage[] =
    "VoPc: invalid option\r\n\r\n"
    "Usage: VoPc @ [source-mac SRC_MAC [source SRC_IP]] [network NW [netmask NM]] [--dst DST_IP] "
    "[--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n"
    "  VoPc @ source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  VoPc @ network 192.168.0.0 netmask 255.255.255.0\r\n";

const clients::Operation kOperations[] = {
    {"add", BuildAddDel, kAddDelUsage}, {"del", BuildAddDel, kAddDelUsage},
    {"save", BuildPlain, nullptr},      {"load", BuildPlain, nullptr},
    {"clear", BuildPlain, nullptr},     {"show", BuildPlain, nullptr},
    {nullptr, nullptr, nullptr},
};

const char kGeneralUsage[] =
    "VoPc: invalid option\r\n\r\n"
    "Usage: VoPc OPERATION [source-mac SRC_MAC [source SRC_IP]] [network NW [netmask NM]] "
    "[--dst DST_IP] [--dport DST_PORT]\r\n\r\n"
    "Examples:\r\n"
    "  VoPc add source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  VoPc add network 192.168.0.0 netmask 255.255.255.0\r\n"
    "  VoPc del source-mac 00:00:00:00:00:00 source 192.168.0.1\r\n"
    "  VoPc del network 192.168.0.0 netmask 255.255.255.0\r\n"
    "  VoPc save\r\n"
    "  VoPc load\r\n"
    "  VoPc clear\r\n"
    "  VoPc show\r\n\r\n"
    "OPERATION:         (add/del/save/load/clear/show)\r\n"
    "SRC_MAC:           MAC address of PC\r\n"
    "SRC_IP:            IP address of PC\r\n"
    "NW:                Network address\r\n"
    "NM:                Netmask information\r\n"
    "--dst:             IP address of a Kel Server\r\n"
    "--dport:           Port number of a Kel Server\r\n";

}  // namespace

int main(int argc, char** argv) {
  const clients::ClientProgram program = {"VoPc", kGrammar, kOperations, kGeneralUsage};
  return clients::RunClient(program, argc, argv);
}
