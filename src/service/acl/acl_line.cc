#include "service/acl/acl_line.h"

#include <cerrno>
#include <cstdlib>

namespace {

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

const char* LineOpcodeWord(LineOpcode opcode) {
  switch (opcode) {
    case LineOpcode::kAdd:
      return "add";
    case LineOpcode::kInsert:
      return "insert";
    case LineOpcode::kDelete:
      return "delete";
    case LineOpcode::kModify:
      return "modify";
  }
  return nullptr;
}

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
  const char* opcodeWord = LineOpcodeWord(opcode);
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
