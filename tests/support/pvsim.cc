#include "pvsim.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace testsupport {

namespace {

// The credentials every router carries unless `pv add` names others.
constexpr char kUser[] = "admin";
constexpr char kPassword[] = "pomvy";

std::string Text(const nlohmann::json& object, const char* key) {
  auto at = object.find(key);
  return at != object.end() && at->is_string() ? at->get<std::string>() : "";
}

template <class T>
T Number(const nlohmann::json& object, const char* key) {
  auto at = object.find(key);
  return at != object.end() && at->is_number() ? at->get<T>() : T();
}

}  // namespace

PvsimRequest ParsePvsimJournalLine(const std::string& line) {
  PvsimRequest r;
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (!j.is_object()) return r;
  r.auth = Text(j, "auth");
  r.event = Text(j, "event");
  r.reason = Text(j, "reason");
  r.client = Text(j, "client");
  r.host = Text(j, "host");
  r.status = Number<int>(j, "status");
  r.conn = Number<long>(j, "conn");
  r.seq = Number<long>(j, "seq");
  r.term = Number<int64_t>(j, "term");
  r.time = Number<double>(j, "time");
  r.answered = Number<double>(j, "answered");
  if (auto early = j.find("early"); early != j.end() && early->is_boolean()) {
    r.early = early->get<bool>();
  }
  if (auto form = j.find("form"); form != j.end() && form->is_object()) {
    r.version = Text(*form, "version");
    r.klass = Text(*form, "class");
    r.opcode = Text(*form, "opcode");
    r.count = Text(*form, "count");
    r.acl = Text(*form, "acl");
  }
  return r;
}

std::vector<PvsimRequest> PvsimJournal::ReadNew() {
  std::vector<PvsimRequest> requests;
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return requests;
  char buffer[65536];
  ssize_t n;
  while ((n = pread(fd, buffer, sizeof buffer, offset_)) > 0) {
    offset_ += n;
    partial_.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    if (end > start) requests.push_back(ParsePvsimJournalLine(partial_.substr(start, end - start)));
  }
  partial_.erase(0, start);
  return requests;
}

PvsimProcess::PvsimProcess(std::string program)
    : program_(std::move(program)), dir_("vokel-pvsim") {}

PvsimProcess::~PvsimProcess() { Stop(); }

bool PvsimProcess::Start(const std::string& address, const PvsimOptions& options, int timeout_ms) {
  address_ = address;
  std::vector<std::string> args = {program_, "--listen",
                                   address + ":" + std::to_string(options.port)};
  if (options.journal) args.insert(args.end(), {"--journal", journal()});
  if (options.login) args.insert(args.end(), {"--user", kUser, "--password", kPassword});
  args.insert(args.end(), options.extra.begin(), options.extra.end());
  ChildOptions child;
  child.output = dir_.File("output");
  child.die_with_parent = options.die_with_parent;
  if (child_.Start(args, child) && child_.WaitForOutput("pvsim: listening on", timeout_ms)) {
    return true;
  }
  error_ = "pvsim did not start on " + address + ": " + child_.Output();
  Stop();
  return false;
}

bool PvsimProcess::Signal(int signal) const { return child_.Signal(signal); }

void PvsimProcess::Stop() { child_.Stop(1000); }

std::vector<PvsimRequest> PvsimProcess::Requests() const {
  return PvsimJournal(journal()).ReadNew();
}

std::vector<std::string> PvsimProcess::Lines() const {
  std::vector<std::string> lines;
  for (const PvsimRequest& r : Requests()) lines.push_back(r.Text());
  return lines;
}

}  // namespace testsupport
