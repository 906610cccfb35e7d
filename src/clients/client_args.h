// The console programs' command-line grammar: a table of words per program, and the one parser
// that fills the parsed-arguments record from it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace clients {

// What a word of the grammar does when it is seen.
enum class WordKind {
  kOperation,        // sets the operation word
  kOperationTarget,  // sets the operation word and takes the next word as its field (TARGET)
  kOperationIfMore,  // sets the operation word when another word follows (that word is kept)
  kStandalone,       // stores the word itself in its field
  kValue,            // stores the next word in its field
};

// How a value is validated before it is kept.
enum class Check { kNone, kIpAddress, kPort, kMacAddress, kProtocol, kFile };

struct WordRule {
  const char* word;  // nullptr ends a table
  WordKind kind;
  int field;  // index into ParsedArgs::fields; unused for kOperation and kOperationIfMore
  Check check;
};

constexpr int kMaxFields = 8;
constexpr uint16_t kDefaultPort = 8000;

// One run's words. Every text points into the command line, exactly as typed; a field that was
// not given is nullptr.
struct ParsedArgs {
  const char* operation = "show";
  const char* fields[kMaxFields] = {};
  const char* dst_text = nullptr;
  uint8_t dst[4] = {127, 0, 0, 1};
  const char* dport_text = nullptr;
  uint16_t dport = kDefaultPort;
  // The TLS command port: --tls, and the files of --cert, --key and --cacert (nullptr: not
  // given; the environment's VOKEL_TLS_CERT, VOKEL_TLS_KEY and VOKEL_TLS_CACERT stand in).
  bool tls = false;
  const char* cert = nullptr;
  const char* key = nullptr;
  const char* cacert = nullptr;

  // The service address in network byte order.
  uint32_t DstAddress() const;
};

// Parses `count` words against `rules` (plus the common --dst, --dport, --tls, --cert, --key and
// --cacert). Words match exactly;
// the last occurrence of a word wins. 0 on success, -1 at the first word that does not fit.
int ParseArgs(const WordRule* rules, int count, const char* const* words, ParsedArgs* out);

// Every word the parser takes, `rules` and the common ones, one line each for the shell
// completion: "WORD<TAB>KIND<TAB>HINT", KIND being "operation" (an operation word followed by
// more words), "operation-value" (one followed by its value), "word" (a word alone), "flag"
// (an option alone) or "value" (a word followed by its value), and HINT what that value is:
// "address", "port", "mac", "file", "text", or the choices ("tcp udp"); "-" without a value.
void PrintCompletionTable(const WordRule* rules, FILE* out);

}  // namespace clients
