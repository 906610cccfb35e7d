// Test support: runs command lines through a command-family handler the way a connection
// does, over a socketpair whose other end the test reads.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class CommandChannel {
 public:
  using Handler = int (*)(int s, int argc, char** argv);
  CommandChannel();
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // The handler's end, and the test's end.
  int socket() const { return fds_[0]; }
  int peer() const { return fds_[1]; }
  // Closes the test's end, so every reply send fails.
  void ClosePeer();
  // Runs `line` split at every single space (empty words stay, as on the command port).
  int Run(Handler handler, const std::string& line);
  // Runs the words as they are.
  int Run(Handler handler, std::vector<std::string> words);
  // Everything the handler sent since the last call.
  std::string Reply();

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace testsupport
