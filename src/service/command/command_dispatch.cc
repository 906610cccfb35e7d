#include "service/command/command_dispatch.h"

#include <cstring>

#include "common/socket_io.h"
#include "common/text_util.h"
#include "service/command/command_stats.h"

namespace {

constexpr char kBlanks[] = " \t\r\n";
constexpr char kNotFound[] = "command not found\r\n";

// Sends a fixed reply; the outcome of the line.
DispatchResult Reply(platform::Socket s, const char* text) {
  DispatchResult result;
  result.end = SocketSendAll(s, text, std::strlen(text)) < 0;
  return result;
}

}  // namespace

int SplitCommandWords(char* line, char** words, int max_words) {
  int count = 0;
  for (char* word = line; word != nullptr; word = StrSplitAt(word, " ")) {
    if (count == max_words) return -1;
    words[count++] = word;
  }
  words[count] = nullptr;
  return count;
}

DispatchResult DispatchCommandLine(platform::Socket s, char* line, const CommandRow* table,
                                   size_t rows) {
  char* text = StrSkipSet(line, kBlanks);
  if (text == nullptr) return DispatchResult();
  StrTrimRight(text, kBlanks);
  char* words[kMaxCommandWords + 1];
  int argc = SplitCommandWords(text, words, kMaxCommandWords);
  if (argc < 0) {
    CommandPortStats().CountCommand(nullptr, true);
    DispatchResult result = Reply(s, kTooManyWordsReply);
    result.refusal = kTooManyWordsReply;
    return result;
  }
  for (size_t i = 0; i < rows; ++i) {
    if (std::strcmp(words[0], table[i].word) != 0) continue;
    TakeCommandRefusal();
    int value = table[i].handler(s, argc, words);
    DispatchResult result;
    result.refusal = TakeCommandRefusal();
    CommandPortStats().CountCommand(table[i].word, result.refusal != nullptr);
    result.end = value < 0;
    if (value > 0) {
      result.family = table[i].family;
      result.value = value;
    }
    return result;
  }
  CommandPortStats().CountCommand(nullptr, true);
  return Reply(s, kNotFound);
}
