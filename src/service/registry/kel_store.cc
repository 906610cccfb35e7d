#include "service/registry/kel_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/address_util.h"
#include "common/syslog.h"
#include "common/text_util.h"
#include "platform/durable_file.h"
#include "platform/profile.h"

namespace {

constexpr char kHeader[] = "# VoKelMng access entries 1";
constexpr uint64_t kCompactSlack = 1024;  // records beyond twice the live ones before compacting

uint32_t Crc32(const std::string& text) {
  static uint32_t table[256];
  static std::once_flag made;
  std::call_once(made, [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
  });
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char ch : text) crc = table[(crc ^ ch) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::string Record(const char* operation, const CKelData& e) {
  std::string body = std::string(operation) + (e.target == kKelTargetDrop ? " drop " : " accept ") +
                     e.sourceText + ' ' + (e.macText.empty() ? "-" : e.macText);
  char crc[12];
  std::snprintf(crc, sizeof crc, " %08x", Crc32(body));
  return body + crc + '\n';
}

// Splits one complete record into its entry; false when it is damaged.
bool ParseRecord(const std::string& line, bool* add, CKelData* entry) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= line.size()) {
    size_t space = line.find(' ', start);
    if (space == std::string::npos) space = line.size();
    words.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  if (words.size() != 5) return false;
  std::string body = line.substr(0, line.size() - words[4].size() - 1);
  char crc[12];
  std::snprintf(crc, sizeof crc, "%08x", Crc32(body));
  if (words[4] != crc) return false;
  if (words[0] != "add" && words[0] != "del") return false;
  *add = words[0] == "add";
  if (words[1] != "accept" && words[1] != "drop") return false;
  entry->target = words[1] == "accept" ? kKelTargetAccept : kKelTargetDrop;
  entry->sourceText = words[2];
  if (!IsIpAddress(entry->sourceText.c_str(), entry->source)) return false;
  if (words[3] != "-") {
    entry->macText = words[3];
    if (ParseMacAddress(entry->macText.c_str(), entry->mac) != 0) return false;
  }
  return true;
}

class Store {
 public:
  void Start(const char* name);
  void Close();
  KelStoreResult Add(CKelData* entry);
  KelStoreResult Delete(const CKelData& key);
  KelStoreState State() const { return state_.load(); }
  std::atomic<bool> failWrites{false};
  std::function<void()> beforeFlush;
  std::atomic<uint64_t> flushes{0};

 private:
  static bool WriteAll(int fd, const std::string& data);
  struct Ticket {
    bool done = false;
    bool ok = false;
  };
  bool Load(std::string* cause);
  bool Replay(const std::string& text);
  // Waits until the records appended so far, `ticket`'s among them, are synced.
  bool Commit(std::unique_lock<std::mutex>& hold, Ticket& ticket);
  std::string LiveRecords();
  bool Rewrite(const std::string& text, uint64_t records);
  bool Append(const std::string& data);
  bool Fail(const char* what);

  std::mutex mutex_;
  std::condition_variable flushed_;
  std::atomic<KelStoreState> state_{KelStoreState::kOff};
  std::string name_;
  bool writing_ = false;  // records go to the file (on, and usable since start)
  int fd_ = -1;
  off_t goodSize_ = 0;            // the file's length up to its last complete, synced record
  std::string pending_;           // records not yet handed to a flush
  std::vector<Ticket*> waiting_;  // the commands whose records are in pending_
  bool flushing_ = false;         // a flush runs (outside the lock)
  bool rewrite_ = false;          // the next flush writes the file anew (after a failure)
  uint64_t records_ = 0;          // records in the file
  uint64_t live_ = 0;             // live entries after the last rewrite or change
};

bool Store::WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Store::Start(const char* name) {
  bool enabled = KelStoreEnabledSetting();
  std::lock_guard<std::mutex> hold(mutex_);
  if (fd_ >= 0) close(fd_);  // a second start in one process (tests) begins afresh
  fd_ = -1;
  writing_ = false;
  pending_.clear();
  name_ = name;
  if (!enabled) {
    state_ = KelStoreState::kOff;
    return;
  }
  std::string cause;
  if (!Load(&cause)) {
    if (!cause.empty()) {
      Syslog(kLogErr, "I failed in reading of the access entry store %s: %s.", name_.c_str(),
             cause.c_str());
    }
    state_ = KelStoreState::kFailing;  // memory only until the service starts again
    return;
  }
  writing_ = true;
  std::string text = LiveRecords();
  if (!Rewrite(text, live_)) {
    writing_ = false;
    state_ = KelStoreState::kFailing;
    return;
  }
  state_ = KelStoreState::kOk;
  Syslog(kLogInfo, "I read %llu access entries from %s.", static_cast<unsigned long long>(live_),
         name_.c_str());
}

bool Store::Load(std::string* cause) {
  int fd = open(name_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // nothing stored yet
    *cause = std::strerror(errno);
    return false;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *cause = std::strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return Replay(text);
}

bool Store::Replay(const std::string& text) {
  CKelDataList& list = KelDataList();
  KelJournalScan scan = ScanKelJournal(text, [&list](bool add, CKelData* entry) {
    if (add) {
      if (list.Add(entry) != 0) delete entry;  // already there: the same state either way
      return;
    }
    list.MarkDeleted(*entry);
    delete entry;
    CKelListLock hold(list);
    for (CKelNode* n = list.GetHead(1); n != nullptr;) {
      CKelNode* next = list.GetNext(n, 1);
      if (n->data->pendingDelete) list.Remove(n, 1);
      n = next;
    }
  });
  switch (scan.fault) {
    case KelJournalScan::kHeader:
      Syslog(kLogErr, "I refused the access entry store %s: its first line is not \"%s\".",
             name_.c_str(), kHeader);
      list.RemoveAll();
      return false;
    case KelJournalScan::kDamagedRecord:
      Syslog(kLogErr, "I refused the access entry store %s: record %ld is damaged.", name_.c_str(),
             scan.damagedRecord);
      list.RemoveAll();
      return false;
    case KelJournalScan::kNone:
      break;
  }
  if (scan.incompleteTail) {
    Syslog(kLogWarning, "I ignored an incomplete last record of the access entry store %s.",
           name_.c_str());
  }
  return true;
}

std::string Store::LiveRecords() {
  CKelDataList& list = KelDataList();
  CKelListLock hold(list);
  std::string text = std::string(kHeader) + '\n';
  live_ = 0;
  for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
    const auto& e = *static_cast<const CKelData*>(n->data);
    if (e.pendingDelete) continue;
    text += Record("add", e);
    ++live_;
  }
  return text;
}

bool Store::Fail(const char* what) {
  int error = errno;
  state_ = KelStoreState::kFailing;
  Syslog(kLogErr, "I failed in %s of the access entry store %s: %s.", what, name_.c_str(),
         std::strerror(error));
  return false;
}

// Writes `text` (the header and every live entry) to NAME.tmp, syncs it and renames it over
// NAME, then syncs the folder and appends to the new file from then on. `records`: the
// records in `text`.
bool Store::Rewrite(const std::string& text, uint64_t records) {
  if (failWrites.load()) {
    errno = ENOSPC;
    return Fail("writing");
  }
  platform::DurableFile::Options options;
  options.mode = 0600;
  platform::DurableStep step = platform::DurableStep::kNone;
  if (!platform::ReplaceFileDurably(name_, text, options, &step)) {
    switch (step) {
      case platform::DurableStep::kRename:
        return Fail("renaming");
      case platform::DurableStep::kSyncFolder:
        return Fail("syncing the folder");
      default:
        return Fail("writing");
    }
  }
  int appender = open(name_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (appender < 0) return Fail("opening");
  if (fd_ >= 0) close(fd_);
  fd_ = appender;
  goodSize_ = static_cast<off_t>(text.size());
  records_ = records;
  rewrite_ = false;
  return true;
}

bool Store::Append(const std::string& data) {
  if (fd_ < 0) {
    errno = EBADF;
    return Fail("writing");
  }
  bool written = false;
  if (failWrites.load()) {
    errno = ENOSPC;
  } else {
    written = WriteAll(fd_, data) && fdatasync(fd_) == 0;
  }
  if (!written) {
    Fail("writing");
    // A record cut short must not stay in the middle of the file: it would refuse the file at
    // the next start. The next flush writes the whole file anew in any case.
    if (ftruncate(fd_, goodSize_) != 0) {
      Syslog(kLogErr, "I failed in truncating of the access entry store %s: %s.", name_.c_str(),
             std::strerror(errno));
    }
    rewrite_ = true;
    return false;
  }
  goodSize_ += static_cast<off_t>(data.size());
  return true;
}

bool Store::Commit(std::unique_lock<std::mutex>& hold, Ticket& ticket) {
  waiting_.push_back(&ticket);
  while (!ticket.done) {
    if (flushing_) {
      flushed_.wait(hold);
      continue;
    }
    // This command leads: it flushes every record appended so far, its own among them.
    flushing_ = true;
    std::string data;
    data.swap(pending_);
    std::vector<Ticket*> batch;
    batch.swap(waiting_);
    uint64_t added = batch.size();
    bool rewrite = rewrite_ || records_ + added > 2 * live_ + kCompactSlack;
    // Read under the lock: exactly the changes whose records were appended up to here.
    uint64_t live = 0;
    if (rewrite) {
      data = LiveRecords();
      live = live_;
    }
    hold.unlock();
    if (beforeFlush) beforeFlush();
    ++flushes;
    bool ok = rewrite ? Rewrite(data, live) : Append(data);
    hold.lock();
    if (ok && !rewrite) records_ += added;
    if (ok && state_.exchange(KelStoreState::kOk) == KelStoreState::kFailing) {
      Syslog(kLogInfo, "I succeeded in writing of the access entry store %s again.", name_.c_str());
    }
    for (Ticket* t : batch) {
      t->done = true;
      t->ok = ok;
    }
    flushing_ = false;
    flushed_.notify_all();
  }
  return ticket.ok;
}

KelStoreResult Store::Add(CKelData* entry) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (KelDataList().Add(entry) != 0) return KelStoreResult::kDuplicate;
  if (!writing_) return KelStoreResult::kDone;
  pending_ += Record("add", *entry);
  ++live_;
  Ticket ticket;
  return Commit(hold, ticket) ? KelStoreResult::kDone : KelStoreResult::kStoreError;
}

KelStoreResult Store::Delete(const CKelData& key) {
  std::unique_lock<std::mutex> hold(mutex_);
  KelDataList().MarkDeleted(key);
  if (!writing_) return KelStoreResult::kDone;
  pending_ += Record("del", key);
  Ticket ticket;
  return Commit(hold, ticket) ? KelStoreResult::kDone : KelStoreResult::kStoreError;
}

void Store::Close() {
  std::unique_lock<std::mutex> hold(mutex_);
  flushed_.wait(hold, [this] { return !flushing_; });
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  writing_ = false;
  pending_.clear();
  rewrite_ = false;
  records_ = 0;
  live_ = 0;
  state_ = KelStoreState::kOff;
}

Store& TheStore() {
  static Store* store = new Store();  // lives as long as the process
  return *store;
}

}  // namespace

KelJournalScan ScanKelJournal(const std::string& text,
                              const std::function<void(bool add, CKelData* entry)>& apply) {
  KelJournalScan scan;
  size_t start = 0;
  bool header = false;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      scan.incompleteTail = true;
      break;
    }
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!header) {
      header = true;
      if (line == kHeader) continue;
      scan.fault = KelJournalScan::kHeader;
      return scan;
    }
    bool add = false;
    auto* entry = new CKelData();
    if (!ParseRecord(line, &add, entry)) {
      delete entry;
      scan.fault = KelJournalScan::kDamagedRecord;
      scan.damagedRecord = scan.records + 1;
      return scan;
    }
    ++scan.records;
    apply(add, entry);
  }
  return scan;
}

bool KelStoreEnabledSetting() {
  std::string value = platform::ReadProfileString("VoKelMng.ini", "KEL", "STORE", "disable", 256);
  StrLower(value.data());
  return std::strcmp(value.c_str(), "enable") == 0;
}

void KelStoreStart(const char* name) { TheStore().Start(name); }
void KelStoreClose() { TheStore().Close(); }
KelStoreResult KelStoreAdd(CKelData* entry) { return TheStore().Add(entry); }
KelStoreResult KelStoreDelete(const CKelData& key) { return TheStore().Delete(key); }
KelStoreState KelStoreStateNow() { return TheStore().State(); }
void KelStoreFailWritesForTest(bool fail) { TheStore().failWrites = fail; }
void KelStoreBeforeFlushForTest(std::function<void()> hook) {
  TheStore().beforeFlush = std::move(hook);
}
uint64_t KelStoreFlushesForTest() { return TheStore().flushes.load(); }

const char* KelStoreStateName(KelStoreState state) {
  switch (state) {
    case KelStoreState::kOk:
      return "ok";
    case KelStoreState::kFailing:
      return "failing";
    case KelStoreState::kOff:
    default:
      return "off";
  }
}
