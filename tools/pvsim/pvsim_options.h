// Command-line options of pvsim, the router simulator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pvsim {

struct Options {
  std::string address = "127.0.0.1";  // --listen ADDRESS:PORT
  uint16_t port = 880;
  std::string journal;  // --journal FILE; empty: no journal
  std::string table;    // --table FILE; empty: the table is not written
  std::string user;     // --user / --password: the credentials a request must carry
  std::string password;
  bool checkCredentials = false;
  int status = 200;             // --status N
  std::string body = "ok";      // --body TEXT
  bool chunked = false;         // --chunked
  bool noLength = false;        // --no-length: neither Content-Length nor chunked, then close
  int delayMs = 0;              // --delay MS before each answer
  int dripMs = 0;               // --drip MS: the answer in three pieces, MS apart
  bool closeMidAnswer = false;  // --close-mid-answer
  bool refuse = false;          // --refuse: reset every connection at once
  long times = -1;              // --times N: misbehave only N times (-1: always)
  long exitAfter = -1;          // --exit-after N answered requests
  std::string tlsCert;          // --tls-cert FILE: serve TLS with this certificate
  std::string tlsKey;           // --tls-key FILE: its key (default: in the --tls-cert file)
  std::string clientCa;         // --client-ca FILE: demand a client certificate signed by it
};

// An option word: the one list ParseOptions accepts and the shell completion offers. hint:
// "-" for an option alone, else what its value is ("address", "file", "text", "number").
struct OptionWord {
  const char* name;
  const char* hint;
};
const OptionWord* FindOption(const std::string& name);  // nullptr: not an option

// The words for the shell completion, as the console programs print theirs:
// "WORD<TAB>flag<TAB>-" or "WORD<TAB>value<TAB>HINT" (`pvsim --completion-table`).
void PrintCompletionTable(FILE* out);

// The help text printed by --help.
const char* UsageText();

// Parses argv into *out. false with *error set on a bad command line; *help set for --help.
bool ParseOptions(int argc, char** argv, Options* out, bool* help, std::string* error);

}  // namespace pvsim
