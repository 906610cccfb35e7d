#include "service/acl/acl_line.h"

#include <cerrno>
#include <cstdlib>

namespace {

const char* OpcodeWord(uint32_t opcode) {
  switch (opcode) {
    case 1:
      return "add";
    case 2:
      return "insert";
    case 3:
      return "delete";
    case 4:
      return "modify";
    default:
      return nullptr;
  }
}

const char* ActionWord(uint32_t action) {
  switch (action) {
    case 1:
      return "accept";
    case 2:
      return "drop";
    default:
      return nullptr;
  }
}

void AppendPart(std::string& text, const char* keyword, const std::string& value) {
  if (value.empty()) return;
  text += ' ';
  text += keyword;
  text += ' ';
  text += value;
}

}  // namespace

bool IsAclProtocol(const std::string& protocol) {
  static const char* const kNames[] = {"tcp", "udp", "icmp", "esp", "ospf", "gre"};
  for (const char* name : kNames) {
    if (protocol == name) return true;
  }
  // strtol rather than atoi: an overlong number saturates instead of being undefined, and a
  // saturated value is outside 0..255 as it should be.
  errno = 0;
  long value = std::strtol(protocol.c_str(), nullptr, 10);
  return value >= 0 && value <= 255;
}

int AclLine::MakeAcl() {
  text.clear();
  const char* opcodeWord = OpcodeWord(opcode);
  if (opcodeWord == nullptr) return -1;
  text = opcodeWord;
  text += " access-list";
  if (name.empty()) name = "VoKelMng";
  text += ' ';
  text += name;
  const char* actionWord = ActionWord(action);
  if (actionWord == nullptr) return -1;
  text += ' ';
  text += actionWord;
  AppendPart(text, "in", in);
  AppendPart(text, "out", out);
  if (IsAclProtocol(protocol)) AppendPart(text, "protocol", protocol);
  AppendPart(text, "source", source);
  AppendPart(text, "destination", destination);
  AppendPart(text, "sport", sport);
  AppendPart(text, "dport", dport);
  AppendPart(text, "source-mac", sourceMac);
  if (log != 0) text += " log";
  return 0;
}
