// pvsim's connection handling: reads HTTP/1.1 requests, answers them as the options say and
// journals each one.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/tls_channel.h"
#include "pvsim_options.h"
#include "pvsim_table.h"

namespace pvsim {

// Appends whole lines to a file with one write each, so lines of concurrent connections never
// interleave and a reader sees every finished line at once.
class Journal {
 public:
  ~Journal();
  bool Open(const std::string& path);
  void Append(const std::string& line);

 private:
  std::mutex mutex_;
  int fd_ = -1;
};

struct Server {
  explicit Server(const Options& o) : options(o), table(o.table) {}
  const Options& options;
  Journal journal;
  Table table;
  std::atomic<long> answered{0};
  std::atomic<long> misbehaved{0};
  std::unique_ptr<tls::Context> tls;  // --tls-cert: every connection is TLS
  // True when one more misbehaviour is allowed (--times).
  bool TakeMisbehaviour();
};

// Serves one accepted connection until the client closes it; closes `fd`.
void ServeConnection(Server& server, int fd, long connection, const std::string& peer);
// Resets a connection at once and journals the refusal; closes `fd`.
void RefuseConnection(Server& server, int fd, long connection, const std::string& peer);

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace pvsim
