// Test double of the service's command port: one thread that takes connections one at a time,
// sends the prompt, records the line that arrives and answers with a canned reply.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace clients_test {

struct ServerScript {
  std::string banner;          // sent before the first prompt
  std::string reply;           // sent after the command line, then the next prompt
  int silent_connections = 0;  // the first connections get nothing at all
  int cut_connections = 0;     // the first (non-silent) ones are closed once the line is in
  int trickle_ms = 0;          // send the reply one byte at a time with this pause, no prompt
};

class RecordingServer {
 public:
  // Listens on `address` (dotted text) and `port` (0: one the system picks) at once; ok()
  // tells whether it does, port() on which port.
  explicit RecordingServer(ServerScript script, const char* address = "127.0.0.1",
                           uint16_t port = 0);
  ~RecordingServer();

  bool ok() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }
  // Every command line received so far, line end included.
  std::vector<std::string> lines();
  int connections();

 private:
  void Serve();
  void Converse(int fd, int index);
  // Reads one line (up to "\n"); false when the peer closed or the server stops first.
  bool ReadLine(int fd, std::string* line);
  // Waits until `fd` is readable or the server stops; false on stop.
  bool WaitReadable(int fd);
  void SendAll(int fd, const std::string& data);

  ServerScript script_;
  int listener_ = -1;
  uint16_t port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mutex_;
  std::vector<std::string> lines_;
  int connections_ = 0;
  std::thread thread_;
};

}  // namespace clients_test
