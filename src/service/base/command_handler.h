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

#include <cstring>

#include "platform/socket.h"

using CommandHandler = int (*)(platform::Socket s, int argc, char** argv);

// Family identifiers, the wParam of WM_PROTOCOL_RECV.
constexpr int kFamilyKel = 1;
constexpr int kFamilyPv = 2;
constexpr int kFamilyPvroute = 3;
constexpr int kFamilyPc = 4;
constexpr int kFamilyQuarantine = 5;
constexpr int kFamilyService = 6;
constexpr int kFamilyHelp = 7;
constexpr int kFamilyExit = 8;

// Handler results.
constexpr int kResultAdd = 1;
constexpr int kResultDel = 2;
constexpr int kResultLoad = 3;
constexpr int kResultClear = 4;

// Whether the line being run on this thread was refused: a family's usage text or one of its
// error lines went out as the reply. Handlers report their replies through NoteCommandReply;
// the dispatcher reads and clears the note after every line.
inline thread_local bool tCommandRefused = false;

inline bool IsRefusalReply(const char* text) {
  static const char* const kErrors[] = {"duplication of data\r\n", "memory throw\r\n",
                                        "save error\r\n",          "load error\r\n",
                                        "show error\r\n",          "TARGET is not registered.\r\n",
                                        "store error\r\n"};
  if (std::strstr(text, ": invalid option\r\n") != nullptr) return true;
  for (const char* error : kErrors) {
    if (std::strcmp(text, error) == 0) return true;
  }
  return false;
}

inline void NoteCommandReply(const char* text) {
  if (IsRefusalReply(text)) tCommandRefused = true;
}

inline bool TakeCommandRefused() {
  bool refused = tCommandRefused;
  tCommandRefused = false;
  return refused;
}
