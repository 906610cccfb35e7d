#include "clients/reply_reader.h"

#include <string_view>

#include "common/socket_io.h"
#include "platform/clock.h"

namespace clients {
namespace {

constexpr std::string_view kPrompt = "$ ";

}  // namespace

ReplyReader::ReplyReader(platform::Socket socket, platform::SocketEvent* event, int wait_ms,
                         FILE* out, tls::Channel* channel)
    : socket_(socket), event_(event), channel_(channel), wait_ms_(wait_ms), out_(out) {
  line_[0] = '\0';
}

void ReplyReader::Fail(const char* message) {
  std::fputs(message, out_);
  std::fflush(out_);
}

bool ReplyReader::HasPrompt() const {
  return std::string_view(line_, length_).find(kPrompt) != std::string_view::npos;
}

bool ReplyReader::Complete() const {
  if (length_ == 0) return false;
  if (line_[length_ - 1] == '\n' || length_ > kMaxLine) return true;
  // Earlier bytes were looked at when they came, so only the newest pair can hold the prompt.
  return length_ >= kPrompt.size() &&
         std::string_view(line_ + length_ - kPrompt.size(), kPrompt.size()) == kPrompt;
}

bool ReplyReader::WaitReadable(uint64_t deadline) {
  uint64_t now = platform::MonotonicMs();
  // A deadline that has already passed is a time-out, not a wait without end.
  if (now >= deadline) {
    Fail("I was not able to receive data.\n");
    return false;
  }
  int waited = platform::WaitAny({event_}, static_cast<int>(deadline - now));
  if (waited != 0) {
    Fail("I was not able to receive data.\n");
    return false;
  }
  platform::NetworkEvents events;
  if (event_->Enum(&events) != 0 || (events.events & platform::kFdClose) != 0) {
    Fail("It was cut off.\n");
    return false;
  }
  return true;
}

// Bytes the channel has already decrypted are taken first: the socket may have nothing more
// to say about them.
int ReplyReader::GatherTls() {
  while (!Complete()) {
    int n = channel_->Read(line_ + length_, 1);
    if (n == 1) {
      line_[++length_] = '\0';
    } else if (n == tls::kWantRead || n == tls::kWantWrite) {
      return 0;
    } else {
      Fail(n == 0 ? "It was cut off.\n" : "I was not able to receive data.\n");
      return -1;
    }
  }
  return 0;
}

int ReplyReader::Gather() {
  if (channel_ != nullptr) return GatherTls();
  int pending = 0;
  if (SocketPendingBytes(socket_, &pending) != 0) {
    Fail("I cannot acquire the number of the reception bytes.\n");
    return -1;
  }
  for (; pending > 0 && !Complete(); --pending) {
    if (SocketReceive(socket_, line_ + length_, 1) != 1) {
      Fail("I was not able to receive data.\n");
      return -1;
    }
    line_[++length_] = '\0';
  }
  return 0;
}

int ReplyReader::ReadLine() {
  length_ = 0;
  line_[0] = '\0';
  uint64_t deadline = platform::MonotonicMs() + static_cast<uint64_t>(wait_ms_);
  while (!Complete()) {
    bool decrypted = channel_ != nullptr && channel_->Pending() > 0;
    if ((!decrypted && !WaitReadable(deadline)) || Gather() != 0) return -1;
  }
  return static_cast<int>(length_);
}

}  // namespace clients
