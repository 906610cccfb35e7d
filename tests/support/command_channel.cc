#include "command_channel.h"

#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

CommandChannel::CommandChannel() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_); }

CommandChannel::~CommandChannel() {
  if (fds_[0] >= 0) close(fds_[0]);
  if (fds_[1] >= 0) close(fds_[1]);
}

void CommandChannel::ClosePeer() {
  if (fds_[1] >= 0) close(fds_[1]);
  fds_[1] = -1;
}

int CommandChannel::Run(Handler handler, const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  for (;;) {
    size_t space = line.find(' ', start);
    words.push_back(line.substr(start, space - start));
    if (space == std::string::npos) break;
    start = space + 1;
  }
  return Run(handler, std::move(words));
}

int CommandChannel::Run(Handler handler, std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return handler(fds_[0], static_cast<int>(words.size()), argv.data());
}

std::string CommandChannel::Reply() {
  std::string text;
  char chunk[4096];
  ssize_t n;
  while (fds_[1] >= 0 && (n = recv(fds_[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace testsupport
