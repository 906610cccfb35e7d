// The contract of every command family handler on the command port.
//
// A handler is called on the connection's socket thread with the connection's socket, the word
// count (at least 1) and the words (argv[0] is the family word, argv[argc] is null; the words
// point into the line buffer and die when the handler returns). It writes its whole reply to
// the socket with SocketSendAll and returns:
//   negative  the connection must end (a send failed, or `exit`);
//   0         done, nothing follows;
//   positive  the registries changed (1 add, 2 del, 3 load, 4 clear): the connection posts
//             WM_PROTOCOL_RECV with the family identifier and this value.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/socket.h"

using CommandHandler = int (*)(platform::Socket s, int argc, char** argv);

// The command families, by the identifier that is the wParam of WM_PROTOCOL_RECV. kNone: no
// family (a line whose result is not relayed). The first five are the registries.
enum class CommandFamily : uint32_t {
  kNone = 0,
  kKel = 1,
  kPv = 2,
  kPvroute = 3,
  kPc = 4,
  kQuarantine = 5,
  kService = 6,
  kHelp = 7,
  kExit = 8,
};

// The family's first word on the command port; "" for kNone and unknown values.
constexpr const char* CommandFamilyName(CommandFamily family) {
  switch (family) {
    case CommandFamily::kKel:
      return "kel";
    case CommandFamily::kPv:
      return "pv";
    case CommandFamily::kPvroute:
      return "pvroute";
    case CommandFamily::kPc:
      return "pc";
    case CommandFamily::kQuarantine:
      return "quarantine";
    case CommandFamily::kService:
      return "service";
    case CommandFamily::kHelp:
      return "help";
    case CommandFamily::kExit:
      return "exit";
    case CommandFamily::kNone:
      break;
  }
  return "";
}

// Whether the family is one of the five registries whose changes the access lists follow.
constexpr bool IsRegistryFamily(CommandFamily family) {
  return family >= CommandFamily::kKel && family <= CommandFamily::kQuarantine;
}

// Handler results.
constexpr int kResultAdd = 1;
constexpr int kResultDel = 2;
constexpr int kResultLoad = 3;
constexpr int kResultClear = 4;

// Whether the line being run on this thread was refused: a family's usage text or one of its
// error lines went out as the reply. Handlers report their replies through NoteCommandReply;
// the dispatcher reads and clears the note after every line. The note is the line's first
// refusal: the error line itself, or kUsageRefusal for a usage text (static texts both).
inline thread_local const char* tCommandRefusal = nullptr;

// The note of a usage text.
inline constexpr char kUsageRefusal[] = "refused";

// The note `text` leaves as a reply: the matching error line, kUsageRefusal for a usage text
// ("...: invalid option\r\n..."), null for any other reply.
inline const char* RefusalOfReply(const char* text) {
  static const char* const kErrors[] = {"duplication of data\r\n", "memory throw\r\n",
                                        "save error\r\n",          "load error\r\n",
                                        "show error\r\n",          "TARGET is not registered.\r\n",
                                        "store error\r\n",         "cluster error\r\n"};
  if (std::strstr(text, ": invalid option\r\n") != nullptr) return kUsageRefusal;
  for (const char* error : kErrors) {
    if (std::strcmp(text, error) == 0) return error;
  }
  return nullptr;
}

inline bool IsRefusalReply(const char* text) { return RefusalOfReply(text) != nullptr; }

inline void NoteCommandReply(const char* text) {
  if (tCommandRefusal == nullptr) tCommandRefusal = RefusalOfReply(text);
}

// The note of the line (null: not refused), cleared.
inline const char* TakeCommandRefusal() {
  const char* refusal = tCommandRefusal;
  tCommandRefusal = nullptr;
  return refusal;
}

inline bool TakeCommandRefused() { return TakeCommandRefusal() != nullptr; }
