// Dispatching one received command line: blanks trimmed, words split at single spaces, the
// family found in a command table by its exact first word, its handler run.
#pragma once

#include <cstddef>

#include "platform/socket.h"
#include "service/base/command_handler.h"

// One row of a command table: the family word, its identifier and its handler.
struct CommandRow {
  const char* word;
  CommandFamily family;
  CommandHandler handler;
};

// The most words a line may have; the argument vector holds one more, the null entry.
constexpr int kMaxCommandWords = 255;

// Splits `line` in place: every single space ends a word (two in a row give an empty word, a
// tab belongs to its word). Fills words[0..count-1] and words[count] = nullptr and returns the
// count, or -1 (words holds nothing useful) when there are more than max_words words.
// REQUIRES: `words` has room for max_words + 1 entries.
int SplitCommandWords(char* line, char** words, int max_words);

// What the connection must do after a line.
struct DispatchResult {
  bool end = false;                             // the connection must end
  CommandFamily family = CommandFamily::kNone;  // with value > 0: post WM_PROTOCOL_RECV
  int value = 0;
  // The line's refusal (see TakeCommandRefusal), kTooManyWordsReply for a line not run; null:
  // not refused.
  const char* refusal = nullptr;
};

// Runs one line (NUL-terminated, modified in place) against `table`. A blank line does
// nothing; an unknown first word is answered "command not found\r\n"; a line of too many words
// is answered with kTooManyWordsReply. Replies go to `s`; a failed reply ends the connection.
DispatchResult DispatchCommandLine(platform::Socket s, char* line, const CommandRow* table,
                                   size_t rows);

constexpr char kTooManyWordsReply[] = "too many words\r\n";
