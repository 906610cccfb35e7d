// CommandLineAssembler: the lines of a command connection, assembled byte by byte. A backspace
// takes back the byte before it, a line feed completes the line (kept at its end, NUL after it),
// any other byte is kept; a line longer than kMaxLineLength, or one without memory, fails.
#pragma once

#include <cstddef>
#include <memory>

#include "service/command/kel_cmd_protocol_data.h"

class CommandLineAssembler {
 public:
  // The longest line taken without its line feed.
  static constexpr size_t kMaxLineLength = 65536;

  enum class Step {
    kMore,      // the line goes on
    kComplete,  // its line feed was taken: TakeLine() has it
    kFailed,    // dropped (logged); the connection ends
  };

  // One byte of the stream. After kComplete or kFailed the next byte starts a new line.
  Step Take(char c);
  // The line completed by the last Take; null when there is none.
  std::unique_ptr<CKelCmdProtocolData> TakeLine() { return std::move(complete_); }
  // Drops the line being assembled.
  void Reset();

 private:
  bool StartLine();
  Step Fail();

  std::unique_ptr<CKelCmdProtocolData> line_;
  std::unique_ptr<CKelCmdProtocolData> complete_;
  bool reading_ = false;
};
