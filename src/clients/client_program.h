// The frame shared by the five console programs: operation table, command text and the run
// (parse, look up, build, exchange).
#pragma once

#include <cstddef>
#include <string>

#include "clients/client_args.h"

namespace clients {

// The command text a builder writes; it must fit the 4,100-byte command buffer with its
// terminator, else the run refuses it.
class CommandText {
 public:
  static constexpr size_t kCapacity = 4100;

  void Add(const char* text) { text_ += text; }
  // Appends `prefix` and `value` when the value was given.
  void AddIf(const char* prefix, const char* value);
  bool Fits() const { return text_.size() < kCapacity; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Builds the command text for one operation; false when its requirements fail.
using Builder = bool (*)(const ParsedArgs& args, CommandText* text);

struct Operation {
  const char* word;  // nullptr ends a table
  Builder build;
  // Usage printed when the builder refuses, every "@" standing for the operation word; nullptr
  // for the short form "NAME @" of the operations without words.
  const char* usage;
};

struct ClientProgram {
  const char* name;  // "VoPv"
  const WordRule* grammar;
  const Operation* operations;
  const char* general_usage;
};

// The usage text printed when `operation`'s builder refuses.
std::string OperationUsage(const ClientProgram& program, const Operation& operation);

// The one word that makes a program print its words for the shell completion (see
// PrintCompletionTable) instead of sending anything.
constexpr char kCompletionSwitch[] = "--completion-table";

// Runs one program over its command line; returns the process exit status (255 for the -1 of
// invalid words and refused builders, 0 otherwise, also when every connection attempt failed).
int RunClient(const ClientProgram& program, int argc, const char* const* argv);

// A builder for operations that send the family word and the operation word alone. It refuses
// when any field in `refused` (ended by -1) was given.
bool BuildPlain(const char* family, const int* refused, const ParsedArgs& args, CommandText* text);

}  // namespace clients
