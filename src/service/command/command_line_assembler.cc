#include "service/command/command_line_assembler.h"

#include <new>

#include "common/syslog.h"

namespace {

constexpr char kBackspace = 8;
constexpr char kLineFeed = 10;

}  // namespace

void CommandLineAssembler::Reset() {
  line_.reset();
  reading_ = false;
}

bool CommandLineAssembler::StartLine() {
  if (!line_) {
    line_.reset(new (std::nothrow) CKelCmdProtocolData());
    if (!line_) {
      Syslog(kLogCrit, "I failed in making of CKelCmdProtocolData.");
      return false;
    }
  }
  if (!line_->created() && !line_->Create(CKelCmdProtocolData::kBlockSize)) {
    Syslog(kLogCrit, "I failed in allocation of memory.");
    line_.reset();
    return false;
  }
  line_->length = 0;
  line_->buffer()[0] = '\0';
  reading_ = true;
  return true;
}

// Drops the line being assembled after its memory could not be had (or it grew too long).
CommandLineAssembler::Step CommandLineAssembler::Fail() {
  Syslog(kLogCrit, "I failed in allocation of memory.");
  Reset();
  return Step::kFailed;
}

// Carriage return and NUL are bytes like any other: the command table sees them.
CommandLineAssembler::Step CommandLineAssembler::Take(char c) {
  if (!reading_ && !StartLine()) return Step::kFailed;
  CKelCmdProtocolData& line = *line_;
  if (c == kBackspace) {
    if (line.length != 0) line.buffer()[--line.length] = '\0';
    return Step::kMore;
  }
  if (c != kLineFeed && line.length >= kMaxLineLength) return Fail();
  // Room for the byte and the NUL after it.
  if (line.length + 2 > line.capacity() && !line.Grow(CKelCmdProtocolData::kBlockSize)) {
    return Fail();
  }
  line.buffer()[line.length++] = c;
  line.buffer()[line.length] = '\0';
  if (c != kLineFeed) return Step::kMore;
  complete_ = std::move(line_);
  reading_ = false;
  return Step::kComplete;
}
