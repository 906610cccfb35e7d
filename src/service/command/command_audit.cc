#include "service/command/command_audit.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "common/journal_copy.h"
#include "common/syslog.h"
#include "platform/profile.h"
#include "service/base/command_handler.h"

namespace {

constexpr char kProfile[] = "VoKelMng.ini";
constexpr char kSection[] = "AUDIT";
constexpr size_t kValueBuffer = 1024;

bool IsPrefixOf(const std::string& word, const char* keyword) {
  return word.size() <= std::strlen(keyword) &&
         std::strncmp(word.c_str(), keyword, word.size()) == 0;
}

bool IsOneOf(const std::string& word, std::initializer_list<const char*> words) {
  for (const char* w : words) {
    if (word == w) return true;
  }
  return false;
}

// The pv operation words[1] picks: the first of pv's operations it begins ("" picks add).
const char* PvOperation(const std::vector<std::string>& words) {
  for (const char* operation : {"add", "del", "save", "load", "clear", "show"}) {
    if (IsPrefixOf(words[1], operation)) return operation;
  }
  return nullptr;
}

bool IsPvAddOrDel(const std::vector<std::string>& words) {
  if (words.size() < 2 || words[0] != "pv") return false;
  const char* operation = PvOperation(words);
  return operation != nullptr &&
         (std::strcmp(operation, "add") == 0 || std::strcmp(operation, "del") == 0);
}

std::string PeerText(const CommandOrigin& origin) {
  const auto* b = reinterpret_cast<const uint8_t*>(&origin.address);
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
                static_cast<unsigned>(origin.port));
  return text;
}

std::string UtcTimeText(int64_t time_ms) {
  std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(time_ms % 1000));
  return text;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

AuditSettings ReadAuditSettings() {
  AuditSettings settings;
  std::string syslog = platform::ReadProfileString(kProfile, kSection, "SYSLOG", "", kValueBuffer);
  settings.syslog = strcasecmp(syslog.c_str(), "enable") == 0;
  settings.file = platform::ReadProfileString(kProfile, kSection, "FILE", "", kValueBuffer);
  return settings;
}

std::vector<std::string> SplitAuditWords(const std::string& line) {
  constexpr char kBlanks[] = " \t\r\n";
  std::vector<std::string> words;
  size_t begin = line.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return words;
  size_t end = line.find_last_not_of(kBlanks) + 1;
  for (size_t at = begin;;) {
    size_t space = line.find(' ', at);
    if (space == std::string::npos || space >= end) {
      words.push_back(line.substr(at, end - at));
      return words;
    }
    words.push_back(line.substr(at, space - at));
    at = space + 1;
  }
}

bool IsChangingCommand(const std::vector<std::string>& words) {
  if (words.size() < 2) return false;  // a family word alone shows
  const std::string& family = words[0];
  if (family == "pv") {
    const char* operation = PvOperation(words);
    return operation != nullptr && std::strcmp(operation, "show") != 0;
  }
  if (IsOneOf(family, {"kel", "pvroute", "pc", "quarantine"})) {
    return IsOneOf(words[1], {"add", "del", "clear", "load", "save"});
  }
  if (family == "service") return IsOneOf(words[1], {"set", "save", "load", "clear"});
  return false;
}

// pv add and del read their options from the fourth word on, as the pv family does: an empty
// word is skipped, "sport", "user" and "pass" (any prefix, in that order of preference) take
// the next word as their value.
std::string MaskedCommand(const std::vector<std::string>& words) {
  std::vector<bool> masked(words.size(), false);
  if (IsPvAddOrDel(words)) {
    for (size_t i = 3; i + 1 < words.size(); ++i) {
      const std::string& token = words[i];
      if (token.empty()) continue;
      if (IsPrefixOf(token, "sport") || IsPrefixOf(token, "user")) {
        ++i;
      } else if (IsPrefixOf(token, "pass")) {
        masked[++i] = true;
      }
    }
  }
  std::string command;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) command += ' ';
    command += masked[i] ? kMaskedPassword : words[i];
  }
  return command;
}

std::string AuditOutcome(const char* refusal) {
  if (refusal == nullptr) return "accepted";
  if (std::strcmp(refusal, kUsageRefusal) == 0) return "refused";
  std::string text = refusal;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text == "duplication of data") return "duplicate";
  return text;
}

std::string AuditSyslogText(const AuditRecord& record) {
  std::string text = "Command from " + PeerText(record.origin);
  if (!record.origin.subject.empty()) text += " as " + record.origin.subject;
  return text + ": " + record.command + " (" + record.outcome + ").";
}

std::string AuditJsonLine(const AuditRecord& record) {
  nlohmann::ordered_json line = {{"time", UtcTimeText(record.timeMs)},
                                 {"peer", PeerText(record.origin)}};
  if (!record.origin.subject.empty()) line["subject"] = record.origin.subject;
  line["command"] = record.command;
  line["outcome"] = record.outcome;
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

CommandAudit::~CommandAudit() {
  std::lock_guard<std::mutex> hold(mutex_);
  CloseLocked();
}

void CommandAudit::Configure(const AuditSettings& settings) {
  std::lock_guard<std::mutex> hold(mutex_);
  CloseLocked();
  settings_ = settings;
  failing_ = false;
  enabled_.store(settings_.syslog || !settings_.file.empty());
  if (!settings_.file.empty()) OpenLocked();
}

void CommandAudit::Record(const CommandOrigin& origin, const std::string& line,
                          const char* refusal) {
  if (!Enabled()) return;
  std::vector<std::string> words = SplitAuditWords(line);
  if (!IsChangingCommand(words)) return;
  AuditRecord record;
  record.timeMs = NowMs();
  record.origin = origin;
  record.command = MaskedCommand(words);
  record.outcome = AuditOutcome(refusal);

  // One lock for both copies, so the file and the log list the records in the same order.
  std::lock_guard<std::mutex> hold(mutex_);
  ++records_;
  if (settings_.syslog) {
    std::vector<std::string> fields = {"VOKEL_PEER=" + PeerText(origin)};
    if (!origin.subject.empty()) fields.push_back("VOKEL_SUBJECT=" + origin.subject);
    JournalFieldsScope scope(std::move(fields));
    Syslog(kLogNotice, "%s", AuditSyslogText(record).c_str());
  }
  if (settings_.file.empty()) return;
  if (!OpenLocked()) {
    ++failures_;
    return;
  }
  std::string text = AuditJsonLine(record) + '\n';
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      FailLocked("writing", n < 0 ? errno : ENOSPC);
      CloseLocked();
      ++failures_;
      return;
    }
    written += static_cast<size_t>(n);
  }
  failing_ = false;
}

bool CommandAudit::HasFile() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return !settings_.file.empty();
}

void CommandAudit::Reopen() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (settings_.file.empty()) return;
  CloseLocked();
  OpenLocked();
}

AuditStatus CommandAudit::Status() const {
  std::lock_guard<std::mutex> hold(mutex_);
  AuditStatus status;
  status.syslog = settings_.syslog;
  status.file = settings_.file;
  status.fileOk = fd_ >= 0 && !failing_;
  status.records = records_;
  status.failures = failures_;
  return status;
}

bool CommandAudit::OpenLocked() {
  if (fd_ >= 0) return true;
  fd_ = ::open(settings_.file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd_ >= 0) return true;
  FailLocked("opening", errno);
  return false;
}

void CommandAudit::CloseLocked() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

void CommandAudit::FailLocked(const char* what, int error) {
  if (failing_) return;
  failing_ = true;
  Syslog(kLogErr, "I failed in %s of the audit file %s: %s.", what, settings_.file.c_str(),
         std::strerror(error));
}

CommandAudit& CommandPortAudit() {
  static CommandAudit audit;
  return audit;
}
