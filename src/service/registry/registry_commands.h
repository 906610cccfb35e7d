// Pieces every registry command family is built from: the reply, the choice of operation by
// its word, the save/load/clear operations and the show table of a snapshot.
#pragma once

#include <span>
#include <string>

#include "platform/socket.h"
#include "service/base/command_handler.h"
#include "service/registry/kel_list.h"
#include "service/registry/registry_replica.h"

// Sends `text`; returns `result`, or -1 when the text cannot be sent.
int Reply(platform::Socket s, const char* text, int result);

// True when `word` is a prefix of `keyword` (the empty word is a prefix of every keyword).
bool IsPrefixOf(const char* word, const char* keyword);

// Walks argv[first..argc): empty words are skipped, every other word is a keyword that takes
// the next word, and `option(keyword, value, record)` reads the pair. The walk goes on after a
// refused pair (the last value of a repeated option wins) and ends at a keyword without a
// value. False when any pair was refused or a value was missing.
template <class T>
bool ParseOptionPairs(int argc, char** argv, int first,
                      bool (*option)(const char* keyword, const char* value, T* record),
                      T* record) {
  bool ok = true;
  for (int i = first; i < argc; ++i) {
    if (argv[i][0] == '\0') continue;
    if (i + 1 >= argc) return false;
    if (!option(argv[i], argv[i + 1], record)) ok = false;
    ++i;
  }
  return ok;
}

struct RegistryOperation {
  const char* name;
  CommandHandler run;
};

enum class OperationMatch {
  kExact,   // argv[1] must be the operation's name
  kPrefix,  // any prefix of a name picks the first operation it begins
};

// "FAMILY" alone runs `show`; otherwise the operation argv[1] names runs, or `family_usage`
// is sent (with 0) when none does or argv[1] is missing.
int DispatchOperation(platform::Socket s, int argc, char** argv,
                      std::span<const RegistryOperation> operations, OperationMatch match,
                      CommandHandler show, const char* family_usage);

// The reply for a replica's outcome: nothing for kDone, the family's usual error texts
// otherwise, and "cluster error" for kUnavailable. Returns 0 (or -1 when the reply could not be
// sent): the controller hears of the change from the replica, not from the connection.
int ReplyReplicaOutcome(platform::Socket s, ReplicaOutcome outcome);

// "FAMILY save": `usage` unless there are exactly two words, "save error" when `save` fails;
// 0 otherwise.
int SaveOperation(platform::Socket s, int argc, const char* usage, int (*save)());

// "FAMILY load": `usage` (with 0) unless there are exactly two words, "load error" when `load`
// fails; kResultLoad whenever the load ran, since entries may have been marked already. With a
// replica (cluster mode) the replica loads `family` instead.
int LoadOperation(platform::Socket s, int argc, const char* usage, int (*load)(),
                  CommandFamily family);

// "FAMILY clear": `usage` unless there are exactly two words; else runs `clear` and returns
// kResultClear. With a replica (cluster mode) the replica clears `family` instead.
int ClearOperation(platform::Socket s, int argc, const char* usage, void (*clear)(),
                   CommandFamily family);

// Sends `header`, then `line(record)` for every entry of a snapshot of `live` that is not
// marked deleted; "show error" first when the snapshot could not be taken whole.
// 0, or -1 when a send failed. List needs CopyTo(List*); Record is the list's record type.
template <class List, class Record>
int ShowSnapshot(platform::Socket s, const char* header, List& live,
                 std::string (*line)(const Record&)) {
  if (Reply(s, header, 0) < 0) return -1;
  List snapshot;
  if (live.CopyTo(&snapshot) < 0 && Reply(s, "show error\r\n", 0) < 0) return -1;
  for (CKelNode* node = snapshot.GetHead(); node != nullptr; node = snapshot.GetNext(node)) {
    const Record& record = *static_cast<const Record*>(node->data);
    if (record.pendingDelete) continue;
    if (Reply(s, line(record).c_str(), 0) < 0) return -1;
  }
  return 0;
}
