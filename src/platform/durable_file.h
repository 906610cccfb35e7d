// Durable replacement of a file: the new content goes to a temporary file beside it, which is
// synced, renamed over the file, and then the folder is synced, so that once Commit returns
// true the new content survives a power cut and before that the old file is what a crash
// leaves. Every file the service and pvsim replace goes through here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The file system calls a durable replacement makes. Each returns 0 (or a descriptor) on
// success and -1 with errno set on failure. Tests put a fake in their place to see the order of
// the calls or to fail one of them.
class FileOps {
 public:
  virtual ~FileOps() = default;
  // Creates `path` for writing, truncating a regular file of that name; never follows a link.
  virtual int Create(const std::string& path, unsigned mode) = 0;
  // Sets the mode of the open file exactly (no umask).
  virtual int SetMode(int fd, unsigned mode) = 0;
  virtual int Write(int fd, const char* data, size_t size) = 0;  // all of it, or -1
  virtual int Sync(int fd) = 0;
  virtual int Close(int fd) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Remove(const std::string& path) = 0;
  // Opens, syncs and closes the folder `path`.
  virtual int SyncFolder(const std::string& path) = 0;
};

// The operating system's calls.
FileOps& SystemFileOps();

// The folder that holds `path` ("." for a bare name), as SyncFolder wants it.
std::string FolderOf(const std::string& path);

// The step at which a replacement failed.
enum class DurableStep { kNone, kCreate, kWrite, kSync, kRename, kSyncFolder };

// "writing", "renaming", "syncing the folder", ...: the step as a log line names it.
const char* DurableStepName(DurableStep step);

// One replacement of `path`: Create the temporary file, Append the content, Commit. Nothing
// of `path` changes before Commit; a replacement destroyed without a successful Commit removes
// its temporary file. Not thread-safe: replacements of one file are serialised by the caller.
class DurableFile {
 public:
  struct Options {
    std::string temporary;   // empty: path + ".tmp"
    unsigned mode = 0666;    // passed to Create; the umask applies
    bool exactMode = false;  // set `mode` exactly, before the first byte is written
  };

  DurableFile(std::string path, Options options, FileOps& ops = SystemFileOps());
  explicit DurableFile(std::string path) : DurableFile(std::move(path), Options()) {}
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  // False when the temporary file could not be made (see failedStep()).
  bool IsOpen() const { return failed_ != DurableStep::kCreate; }
  // Buffers `data`; writes when the buffer is full. False once anything failed.
  bool Append(std::string_view data);
  // Writes what is buffered, syncs and closes the temporary file, renames it over the file and
  // syncs the folder. True only when all of that succeeded. A failure before the rename leaves
  // the old file as it was; a failed folder sync comes after the rename (the new content is in
  // place but may not survive a power cut).
  bool Commit();

  DurableStep failedStep() const { return failed_; }
  int error() const { return error_; }  // errno of the failed step

 private:
  bool Fail(DurableStep step);
  bool Flush();
  void RemoveTemporary();

  std::string path_;
  std::string temporary_;
  FileOps& ops_;
  int fd_ = -1;
  std::string buffer_;
  DurableStep failed_ = DurableStep::kNone;
  int error_ = 0;
  bool temporaryExists_ = false;
  bool committed_ = false;
};

// Replaces `path` with `content` in one DurableFile. On failure *step (when given) names the
// step and errno is that step's.
bool ReplaceFileDurably(const std::string& path, std::string_view content,
                        const DurableFile::Options& options = {}, DurableStep* step = nullptr,
                        FileOps& ops = SystemFileOps());

}  // namespace platform
