#include "pvsim_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pvsim {

const char* UsageText() {
  return "Usage: pvsim --listen ADDRESS:PORT [options]\n"
         "\n"
         "Simulates a router's access-list interface: answers POST /quarantine/qacl.cgi over\n"
         "HTTP/1.1 keep-alive and appends every request to a journal, one JSON object a line.\n"
         "Prints \"pvsim: listening on ADDRESS:PORT\" once it accepts connections.\n"
         "\n"
         "Options:\n"
         "  --listen ADDRESS:PORT  address and port to serve (PORT 0 picks a free port)\n"
         "  --journal FILE         append one JSON line per request (and per refused connection)\n"
         "  --table FILE           keep the access lists a router would hold and rewrite FILE\n"
         "                         (through FILE.tmp and a rename) after every change\n"
         "  --user U --password P  demand these Basic credentials; others get 401\n"
         "  --status N             answer with status N (default 200)\n"
         "  --body TEXT            answer body (default \"ok\"; e.g. \"no list\", \"invalid "
         "acl\")\n"
         "  --chunked              send the body with Transfer-Encoding: chunked\n"
         "  --no-length            send no length at all and close after the answer\n"
         "  --delay MS             wait MS milliseconds before each answer\n"
         "  --drip MS              send the answer in three pieces, MS milliseconds apart\n"
         "  --close-mid-answer     send half of the answer, then close the connection\n"
         "  --refuse               reset every connection as soon as it is accepted\n"
         "  --times N              apply --delay, --drip, --close-mid-answer or --refuse only\n"
         "                         N times,\n"
         "                         then behave\n"
         "  --exit-after N         exit once N requests have been answered\n"
         "  --tls-cert FILE        serve TLS with this certificate (PEM, its chain may follow)\n"
         "  --tls-key FILE         the certificate's key (default: in the --tls-cert file)\n"
         "  --client-ca FILE       admit only clients with a certificate signed by FILE's CAs\n"
         "  --help                 show this text\n"
         "\n"
         "SIGUSR1 toggles refusing every connection (as --refuse), journal and table kept.\n"
         "\n"
         "Journal fields: time, answered (seconds since 1970), conn, seq, peer, method, path,\n"
         "host, user, auth (ok, bad or none), form (version, class, opcode, count, acl), status,\n"
         "early (the next request arrived before this answer was sent), client (the subject of\n"
         "the client certificate, over TLS when one was shown), event (\"refused\"; a failed\n"
         "TLS handshake is a line with event \"tls-failed\" and its reason).\n"
         "\n"
         "Table: a multiset of lines per class, changed only by requests answered 200 \"ok\":\n"
         "an add (or insert) inserts one copy, a delete removes one copy, a reset clears its\n"
         "class. FILE starts with \"# deletes of lines not held: N\" (deletes that found no\n"
         "copy), then one line per copy, \"CLASS LINE\" without the first word, sorted, e.g.\n"
         "  client access-list pc accept in eth0 source 10.0.0.5 destination 10.9.0.1 ...\n";
}

namespace {

bool ParseNumber(const char* text, long min, long max, long* out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseListen(const std::string& text, Options* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string address = text.substr(0, colon);
  struct in_addr probe;
  long port = 0;
  if (inet_pton(AF_INET, address.c_str(), &probe) != 1) return false;
  if (!ParseNumber(text.c_str() + colon + 1, 0, 65535, &port)) return false;
  out->address = address;
  out->port = static_cast<uint16_t>(port);
  return true;
}

// Options that take a value; returns false on a bad value.
bool ApplyValue(const std::string& name, const char* value, Options* out, bool* listenSeen) {
  long number = 0;
  if (name == "--listen") {
    *listenSeen = ParseListen(value, out);
    return *listenSeen;
  }
  if (name == "--journal") {
    out->journal = value;
    return !out->journal.empty();
  }
  if (name == "--table") {
    out->table = value;
    return !out->table.empty();
  }
  if (name == "--user" || name == "--password") {
    out->checkCredentials = true;
    (name == "--user" ? out->user : out->password) = value;
    return true;
  }
  if (name == "--body") {
    out->body = value;
    return true;
  }
  if (name == "--status") {
    if (!ParseNumber(value, 100, 999, &number)) return false;
    out->status = static_cast<int>(number);
    return true;
  }
  if (name == "--delay") {
    if (!ParseNumber(value, 0, 3600000, &number)) return false;
    out->delayMs = static_cast<int>(number);
    return true;
  }
  if (name == "--drip") {
    if (!ParseNumber(value, 0, 3600000, &number)) return false;
    out->dripMs = static_cast<int>(number);
    return true;
  }
  if (name == "--tls-cert" || name == "--tls-key" || name == "--client-ca") {
    (name == "--tls-cert"  ? out->tlsCert
     : name == "--tls-key" ? out->tlsKey
                           : out->clientCa) = value;
    return *value != '\0';
  }
  if (name == "--times") return ParseNumber(value, 0, 1L << 40, &out->times);
  if (name == "--exit-after") return ParseNumber(value, 1, 1L << 40, &out->exitAfter);
  return false;
}

bool ApplyFlag(const std::string& name, Options* out) {
  bool* flag = name == "--chunked"            ? &out->chunked
               : name == "--no-length"        ? &out->noLength
               : name == "--close-mid-answer" ? &out->closeMidAnswer
               : name == "--refuse"           ? &out->refuse
                                              : nullptr;
  if (flag != nullptr) *flag = true;
  return flag != nullptr;
}

constexpr OptionWord kOptionWords[] = {
    {"--listen", "address"}, {"--journal", "file"},  {"--table", "file"},
    {"--user", "text"},      {"--password", "text"}, {"--status", "number"},
    {"--body", "text"},      {"--chunked", "-"},     {"--no-length", "-"},
    {"--delay", "number"},   {"--drip", "number"},   {"--close-mid-answer", "-"},
    {"--refuse", "-"},       {"--times", "number"},  {"--exit-after", "number"},
    {"--tls-cert", "file"},  {"--tls-key", "file"},  {"--client-ca", "file"},
    {"--help", "-"}};

}  // namespace

const OptionWord* FindOption(const std::string& name) {
  for (const OptionWord& word : kOptionWords) {
    if (name == word.name) return &word;
  }
  return nullptr;
}

void PrintCompletionTable(FILE* out) {
  for (const OptionWord& word : kOptionWords) {
    std::fprintf(out, "%s\t%s\t%s\n", word.name, word.hint[0] == '-' ? "flag" : "value", word.hint);
  }
}

bool ParseOptions(int argc, char** argv, Options* out, bool* help, std::string* error) {
  bool listenSeen = false;
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    }
    const OptionWord* word = FindOption(name);
    if (word == nullptr) {
      *error = "unknown option " + name;
      return false;
    }
    if (word->hint[0] == '-') {
      ApplyFlag(name, out);
      continue;
    }
    if (i + 1 >= argc) {
      *error = name + " needs a value";
      return false;
    }
    if (!ApplyValue(name, argv[++i], out, &listenSeen)) {
      *error = "bad value for " + name + ": " + argv[i];
      return false;
    }
  }
  if (!listenSeen) {
    *error = "--listen ADDRESS:PORT is required";
    return false;
  }
  if (out->tlsCert.empty() && (!out->tlsKey.empty() || !out->clientCa.empty())) {
    *error = "--tls-key and --client-ca need --tls-cert";
    return false;
  }
  if (out->chunked && out->noLength) {
    *error = "--chunked and --no-length exclude each other";
    return false;
  }
  return true;
}

}  // namespace pvsim
