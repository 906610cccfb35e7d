// The audit trail of the command port: one record per line that changes a registry or the
// service settings, or writes their file (add, del, clear, load, save of the registry families;
// set, save, load, clear of `service`), whatever its outcome. A record holds the time, the
// client (address, port, certificate subject) and the words with every password masked, and
// goes to syslog at notice, to a JSON-lines file, or both ([AUDIT] of VoKelMng.ini, read once
// at start). Without either nothing is recorded and nothing else changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Where a command line came from.
struct CommandOrigin {
  uint32_t address = 0;  // network order
  uint16_t port = 0;
  std::string subject;  // the TLS client certificate's subject; empty: none
};

struct AuditSettings {
  bool syslog = false;  // [AUDIT] SYSLOG=enable (any letter case)
  std::string file;     // [AUDIT] FILE; empty: no file
};

// The [AUDIT] section of VoKelMng.ini.
AuditSettings ReadAuditSettings();

// The stand-in for every password in a record.
constexpr char kMaskedPassword[] = "********";

// The words of a line as the dispatcher splits them (blanks around the line trimmed, a word
// ends at every single space).
std::vector<std::string> SplitAuditWords(const std::string& line);
// Whether the words make a changing command, picked the way the families pick their
// operations (pv by any prefix, the others by the exact word).
bool IsChangingCommand(const std::vector<std::string>& words);
// The words joined by single spaces, each password (the value of a pv add/del `pass` option)
// replaced by kMaskedPassword.
std::string MaskedCommand(const std::vector<std::string>& words);
// The outcome a record states for the line's refusal note (see TakeCommandRefusal): "accepted"
// (null), "refused" (a usage text), "duplicate", or the error line without its CR LF.
std::string AuditOutcome(const char* refusal);

struct AuditRecord {
  int64_t timeMs = 0;  // milliseconds since 1970
  CommandOrigin origin;
  std::string command;  // masked
  std::string outcome;
};

// "Command from 127.0.0.1:41234 as CN=alice: kel add ... (accepted)." (" as ..." only with a
// subject).
std::string AuditSyslogText(const AuditRecord& record);
// {"time":"2026-12-08T22:10:03.123Z","peer":"127.0.0.1:41234","subject":"CN=alice",
//  "command":"...","outcome":"accepted"} ("subject" only when there is one), no line end.
std::string AuditJsonLine(const AuditRecord& record);

struct AuditStatus {
  bool syslog = false;
  std::string file;  // empty: none
  bool fileOk = false;
  uint64_t records = 0;
  uint64_t failures = 0;  // records the file did not take
};

class CommandAudit {
 public:
  CommandAudit() = default;
  ~CommandAudit();
  CommandAudit(const CommandAudit&) = delete;
  CommandAudit& operator=(const CommandAudit&) = delete;

  // Takes the settings and opens the file. Call before the first Record.
  void Configure(const AuditSettings& settings);
  // Whether any record is made. Any thread.
  bool Enabled() const { return enabled_.load(); }
  bool HasFile() const;

  // Records one line run with `refusal` as its note, when the words make a changing command.
  // The file line is written before this returns. A file that cannot be opened or written is
  // reported (once until it works again) and tried again at the next record; the command is
  // never held up by it. Any thread.
  void Record(const CommandOrigin& origin, const std::string& line, const char* refusal);
  // Closes the file and opens it again at its path (logrotate moved it). Any thread.
  void Reopen();

  AuditStatus Status() const;

 private:
  // REQUIRES: mutex_ held. Opens the file when it is not open; false (reported) when it fails.
  bool OpenLocked();
  void CloseLocked();
  // REQUIRES: mutex_ held. Notes a failure of `what` on the file; logs it when the file worked
  // until now.
  void FailLocked(const char* what, int error);

  AuditSettings settings_;  // guarded by mutex_
  std::atomic<bool> enabled_{false};
  mutable std::mutex mutex_;
  int fd_ = -1;  // guarded by mutex_
  // Guarded by mutex_: the file failed and that was logged; cleared by the next line written.
  bool failing_ = false;
  uint64_t records_ = 0;   // guarded by mutex_
  uint64_t failures_ = 0;  // guarded by mutex_
};

// The process-wide audit of the command port (unconfigured: records nothing).
CommandAudit& CommandPortAudit();
