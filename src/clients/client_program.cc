#include "clients/client_program.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "clients/client_exchange.h"

namespace clients {
namespace {

constexpr int kInvalid = 255;

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const Operation* FindOperation(const Operation* operations, const char* word) {
  for (const Operation* op = operations; op->word != nullptr; ++op) {
    if (std::strcmp(op->word, word) == 0) return op;
  }
  return nullptr;
}

// A file named on the command line, else in the environment variable, else none.
std::string FileOption(const char* given, const char* variable) {
  if (given != nullptr) return given;
  const char* set = std::getenv(variable);
  return set != nullptr ? set : "";
}

// The client side of the TLS command port: the operator's certificate, and the service's
// checked against --cacert by the address given with --dst.
std::unique_ptr<tls::Context> TlsContext(const ParsedArgs& args, std::string* error) {
  tls::ClientSettings settings;
  settings.caFile = FileOption(args.cacert, "VOKEL_TLS_CACERT");
  settings.certFile = FileOption(args.cert, "VOKEL_TLS_CERT");
  settings.keyFile = FileOption(args.key, "VOKEL_TLS_KEY");
  settings.verify = tls::Verify::kFull;
  return tls::Context::ForClient(settings, error);
}

}  // namespace

void CommandText::AddIf(const char* prefix, const char* value) {
  if (value == nullptr) return;
  text_ += prefix;
  text_ += value;
}

std::string OperationUsage(const ClientProgram& program, const Operation& operation) {
  std::string name = program.name;
  std::string usage = operation.usage != nullptr
                          ? operation.usage
                          : name + ": invalid option\r\n\r\nUsage: " + name +
                                " @\r\n\r\nExamples:\r\n  " + name + " @\r\n";
  return ReplaceAll(usage, "@", operation.word);
}

bool BuildPlain(const char* family, const int* refused, const ParsedArgs& args, CommandText* text) {
  for (const int* field = refused; *field >= 0; ++field) {
    if (args.fields[*field] != nullptr) return false;
  }
  text->Add(family);
  text->Add(" ");
  text->Add(args.operation);
  return true;
}

int RunClient(const ClientProgram& program, int argc, const char* const* argv) {
  if (argc == 2 && std::strcmp(argv[1], kCompletionSwitch) == 0) {
    PrintCompletionTable(program.grammar, stdout);
    return 0;
  }
  ParsedArgs args;
  if (ParseArgs(program.grammar, argc - 1, argv + 1, &args) != 0) {
    Print(program.general_usage);
    return kInvalid;
  }
  const Operation* operation = FindOperation(program.operations, args.operation);
  if (operation == nullptr) {
    Print(program.general_usage);
    return 0;
  }
  CommandText text;
  if (!operation->build(args, &text) || !text.Fits()) {
    Print(OperationUsage(program, *operation));
    return kInvalid;
  }
  ExchangeSettings settings;
  settings.address = args.DstAddress();
  settings.port = args.dport;
  settings.command = text.text();
  std::unique_ptr<tls::Context> context;
  if (args.tls) {
    std::signal(SIGPIPE, SIG_IGN);  // a service gone mid-write is a failed exchange, not an end
    std::string error;
    context = TlsContext(args, &error);
    if (!context) {
      Print(error + "\n");
      return kInvalid;
    }
    settings.tls = context.get();
    settings.peer = args.dst_text != nullptr ? args.dst_text : "127.0.0.1";
  }
  RunExchange(settings);
  return 0;
}

}  // namespace clients
