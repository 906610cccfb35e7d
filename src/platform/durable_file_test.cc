#include "platform/durable_file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scratch_dir.h"

namespace {

// Records every call and fails the one named `failAt` (with EIO), passing the rest to the
// real file system, so that what is left on disk can be looked at too.
class RecordingOps : public platform::FileOps {
 public:
  std::vector<std::string> calls;
  std::string failAt;

  int Create(const std::string& path, unsigned mode) override {
    return Call("create " + path, [&] { return real().Create(path, mode); });
  }
  int SetMode(int fd, unsigned mode) override {
    return Call("mode", [&] { return real().SetMode(fd, mode); });
  }
  int Write(int fd, const char* data, size_t size) override {
    return Call("write", [&] { return real().Write(fd, data, size); });
  }
  int Sync(int fd) override {
    return Call("sync", [&] { return real().Sync(fd); });
  }
  int Close(int fd) override {
    return Call(
        "close", [&] { return real().Close(fd); }, fd);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Call("rename " + from + " " + to, [&] { return real().Rename(from, to); });
  }
  int Remove(const std::string& path) override {
    return Call("remove " + path, [&] { return real().Remove(path); });
  }
  int SyncFolder(const std::string& path) override {
    return Call("sync folder " + path, [&] { return real().SyncFolder(path); });
  }

 private:
  static platform::FileOps& real() { return platform::SystemFileOps(); }
  // A failed close still closes the descriptor, as close(2) does.
  template <class F>
  int Call(const std::string& what, F op, int fdToClose = -1) {
    calls.push_back(what);
    if (failAt.empty() || what.rfind(failAt, 0) != 0) return op();
    if (fdToClose >= 0) real().Close(fdToClose);
    errno = EIO;
    return -1;
  }
};

TEST(DurableFileTest, SyncsTheFileBeforeTheRenameAndTheFolderAfterIt) {
  testsupport::ScratchDir dir("durable");
  std::string path = dir.File("pv.csv");
  RecordingOps ops;
  platform::DurableStep step = platform::DurableStep::kNone;
  ASSERT_TRUE(platform::ReplaceFileDurably(path, "a\r\n", {}, &step, ops));
  std::vector<std::string> expected = {
      "create " + path + ".tmp",  "write", "sync", "close", "rename " + path + ".tmp " + path,
      "sync folder " + dir.path()};
  EXPECT_EQ(ops.calls, expected);
  EXPECT_EQ(testsupport::ReadFile(path), "a\r\n");
  EXPECT_EQ(platform::FolderOf("pv.csv"), ".");
}

// A failure at any step before the rename leaves the old file and no temporary file; a failed
// folder sync is reported although the new content is in place.
TEST(DurableFileTest, AFailedStepIsAFailedReplacementAndKeepsTheOldFile) {
  struct Case {
    const char* failAt;
    platform::DurableStep step;
    const char* left;
  };
  const Case cases[] = {{"create", platform::DurableStep::kCreate, "old"},
                        {"write", platform::DurableStep::kWrite, "old"},
                        {"sync", platform::DurableStep::kSync, "old"},
                        {"close", platform::DurableStep::kWrite, "old"},
                        {"rename", platform::DurableStep::kRename, "old"},
                        {"sync folder", platform::DurableStep::kSyncFolder, "new"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failAt);
    testsupport::ScratchDir dir("durable");
    std::string path = dir.File("f");
    ASSERT_TRUE(testsupport::WriteFile(path, "old"));
    RecordingOps ops;
    ops.failAt = c.failAt;
    platform::DurableStep step = platform::DurableStep::kNone;
    EXPECT_FALSE(platform::ReplaceFileDurably(path, "new", {}, &step, ops));
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(testsupport::ReadFile(path), c.left);
    EXPECT_FALSE(testsupport::ReadFile(path + ".tmp").has_value());
  }
}

TEST(DurableFileTest, ExactModeLeftoversAndLinks) {
  testsupport::ScratchDir dir("durable");
  std::string path = dir.File("pv.csv");
  mode_t old_mask = umask(0);
  platform::DurableFile::Options owner_only;
  owner_only.mode = 0600;
  owner_only.exactMode = true;
  // A leftover temporary file of a killed replacement is replaced; large content is written
  // whole across several buffer flushes.
  ASSERT_TRUE(testsupport::WriteFile(path + ".tmp", "leftover"));
  std::string big(200000, 'x');
  EXPECT_TRUE(platform::ReplaceFileDurably(path, big, owner_only));
  EXPECT_EQ(testsupport::ReadFile(path), big);
  EXPECT_EQ(testsupport::FileMode(path), 0600u);
  umask(old_mask);
  // A link in the temporary file's place is never written through.
  std::string other = dir.File("other");
  ASSERT_TRUE(testsupport::WriteFile(other, "keep"));
  ASSERT_EQ(symlink(other.c_str(), (path + ".tmp").c_str()), 0);
  platform::DurableStep step = platform::DurableStep::kNone;
  EXPECT_FALSE(platform::ReplaceFileDurably(path, "new", {}, &step));
  EXPECT_EQ(step, platform::DurableStep::kCreate);
  EXPECT_EQ(testsupport::ReadFile(other), "keep");
  EXPECT_EQ(testsupport::ReadFile(path), big);
}

}  // namespace
