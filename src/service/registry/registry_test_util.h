// Test helpers for the registries: a private working directory, a command connection over a
// socketpair, and whole-file reads. Header only, for the *_test.cc programs of this folder.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace registrytest {

// mkdtemp directory made the working directory for the object's lifetime.
class TempWorkDir {
 public:
  TempWorkDir() {
    char pattern[] = "/tmp/vokel_registry_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    old_ = std::filesystem::current_path();
    if (!path_.empty()) std::filesystem::current_path(path_);
  }
  ~TempWorkDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::filesystem::path old_;
};

// The whole file, byte for byte ("<missing>" when it cannot be opened).
inline std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

inline unsigned FileMode(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

// Runs one command line through a handler the way the connection does: words split at every
// single space. The handler's reply is read back from the peer end of a socketpair.
class CommandChannel {
 public:
  using Handler = int (*)(int s, int argc, char** argv);
  CommandChannel() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_); }
  ~CommandChannel() {
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Closes the reading end, so every reply send fails.
  void ClosePeer() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  int Run(Handler handler, const std::string& line) {
    std::string buffer = line;
    std::vector<char*> argv;
    size_t start = 0;
    while (true) {
      size_t space = buffer.find(' ', start);
      argv.push_back(&buffer[start]);
      if (space == std::string::npos) break;
      buffer[space] = '\0';
      start = space + 1;
    }
    int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    return handler(fds_[0], argc, argv.data());
  }
  // Everything the handlers sent since the last call.
  std::string Reply() {
    std::string text;
    char chunk[4096];
    ssize_t n;
    while (fds_[1] >= 0 && (n = recv(fds_[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
      text.append(chunk, static_cast<size_t>(n));
    }
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace registrytest
