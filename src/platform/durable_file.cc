#include "platform/durable_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace platform {
namespace {

// Writes are gathered up to this size before they reach the file.
constexpr size_t kBufferSize = 64 * 1024;

class SystemOps : public FileOps {
 public:
  int Create(const std::string& path, unsigned mode) override {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                static_cast<mode_t>(mode));
  }
  int SetMode(int fd, unsigned mode) override { return fchmod(fd, static_cast<mode_t>(mode)); }
  int Write(int fd, const char* data, size_t size) override {
    while (size > 0) {
      ssize_t n = write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return -1;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return 0;
  }
  int Sync(int fd) override { return fsync(fd); }
  int Close(int fd) override { return close(fd); }
  int Rename(const std::string& from, const std::string& to) override {
    return rename(from.c_str(), to.c_str());
  }
  int Remove(const std::string& path) override { return unlink(path.c_str()); }
  int SyncFolder(const std::string& path) override {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int synced = fsync(fd);
    int error = errno;
    close(fd);
    errno = error;
    return synced;
  }
};

}  // namespace

FileOps& SystemFileOps() {
  static SystemOps ops;
  return ops;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

const char* DurableStepName(DurableStep step) {
  switch (step) {
    case DurableStep::kNone:
      return "nothing";
    case DurableStep::kCreate:
      return "creating";
    case DurableStep::kWrite:
      return "writing";
    case DurableStep::kSync:
      return "syncing";
    case DurableStep::kRename:
      return "renaming";
    case DurableStep::kSyncFolder:
      return "syncing the folder";
  }
  return "?";
}

DurableFile::DurableFile(std::string path, Options options, FileOps& ops)
    : path_(std::move(path)),
      temporary_(options.temporary.empty() ? path_ + ".tmp" : std::move(options.temporary)),
      ops_(ops) {
  fd_ = ops_.Create(temporary_, options.mode);
  if (fd_ < 0) {
    Fail(DurableStep::kCreate);
    return;
  }
  temporaryExists_ = true;
  if (options.exactMode && ops_.SetMode(fd_, options.mode) != 0) Fail(DurableStep::kCreate);
}

DurableFile::~DurableFile() {
  int error = errno;
  if (fd_ >= 0) ops_.Close(fd_);
  RemoveTemporary();
  errno = error;
}

bool DurableFile::Fail(DurableStep step) {
  if (failed_ == DurableStep::kNone) {
    failed_ = step;
    error_ = errno;
  }
  return false;
}

void DurableFile::RemoveTemporary() {
  if (!temporaryExists_) return;
  ops_.Remove(temporary_);
  temporaryExists_ = false;
}

bool DurableFile::Flush() {
  if (buffer_.empty()) return true;
  if (ops_.Write(fd_, buffer_.data(), buffer_.size()) != 0) return Fail(DurableStep::kWrite);
  buffer_.clear();
  return true;
}

bool DurableFile::Append(std::string_view data) {
  if (fd_ < 0 || failed_ != DurableStep::kNone || committed_) return false;
  buffer_.append(data);
  return buffer_.size() < kBufferSize || Flush();
}

bool DurableFile::Commit() {
  if (fd_ < 0 || failed_ != DurableStep::kNone || committed_) return false;
  if (!Flush()) return false;
  if (ops_.Sync(fd_) != 0) return Fail(DurableStep::kSync);
  int fd = std::exchange(fd_, -1);
  if (ops_.Close(fd) != 0) {
    Fail(DurableStep::kWrite);  // a delayed write error
    RemoveTemporary();
    return false;
  }
  if (ops_.Rename(temporary_, path_) != 0) {
    Fail(DurableStep::kRename);
    RemoveTemporary();
    return false;
  }
  temporaryExists_ = false;
  committed_ = true;
  if (ops_.SyncFolder(FolderOf(path_)) != 0) return Fail(DurableStep::kSyncFolder);
  return true;
}

bool ReplaceFileDurably(const std::string& path, std::string_view content,
                        const DurableFile::Options& options, DurableStep* step, FileOps& ops) {
  DurableFile file(path, options, ops);
  bool ok = file.Append(content) && file.Commit();
  if (!ok) {
    if (step != nullptr) *step = file.failedStep();
    errno = file.error();
  }
  return ok;
}

}  // namespace platform
