// One access-list line: the parts a router's access list is changed with, and the text that
// carries them to the router (the `acl` value of a request body).
#pragma once

#include <cstdint>
#include <string>

// What a line does to the router's access list.
enum class LineOpcode : uint32_t { kAdd = 1, kInsert = 2, kDelete = 3, kModify = 4 };

// The line's first word: "add", "insert", "delete", "modify"; null for any other value. The
// info lines that announce a planning's lines use the same word.
const char* LineOpcodeWord(LineOpcode opcode);

// The parts of one line. Optional parts are used unchanged; only opcode, action and protocol
// are checked.
struct AclLine {
  LineOpcode opcode{};  // no opcode until set
  std::string name;     // the list's name; empty: "VoKelMng"
  uint32_t action = 0;  // 1 accept, 2 drop
  std::string in;
  std::string out;
  std::string protocol;
  std::string source;
  std::string destination;
  std::string sport;
  std::string dport;
  std::string sourceMac;
  int32_t log = 0;   // nonzero appends " log"
  std::string text;  // the built line, written by MakeAcl

  // Builds `text` from the other fields (an empty name becomes "VoKelMng" in the record too).
  // 0 when built; -1 when opcode or action is unknown (then `text` is meaningless).
  int MakeAcl();
};

// True when `protocol` may be written into a line: a known protocol name, or a text whose
// leading decimal integer (read as strtol reads it; no digits count as 0) lies in 0..255.
bool IsAclProtocol(const std::string& protocol);
