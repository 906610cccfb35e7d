// A save is answered only once it survives a power cut: the service's own system calls, traced
// by strace, show the file synced, renamed over the old one and its folder synced before the
// reply goes out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "netns.h"

namespace {

struct Call {
  std::string thread;
  std::string text;  // the call as strace wrote it, without the thread and the padding
};

// The calls of every thread, strace having written one file per thread (`-ff -o PREFIX`:
// PREFIX.TID): a call of one thread is then never split by another's into an "unfinished" and
// a "resumed" line, as it is in one shared file when the machine is busy.
std::vector<Call> ReadTrace(const std::string& dir, const std::string& prefix) {
  std::vector<Call> calls;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix + ".", 0) != 0) continue;
    std::istringstream in(e2e::ReadFile(entry.path().string()).value_or(""));
    std::string line;
    while (std::getline(in, line)) {
      // strace pads the result into a column: one blank is kept.
      calls.push_back(
          {name.substr(prefix.size() + 1), std::regex_replace(line, std::regex(" {2,}"), " ")});
    }
  }
  return calls;
}

// Everything strace wrote, for a failure's message.
std::string TraceText(const std::string& dir, const std::string& prefix) {
  std::string text;
  for (const Call& c : ReadTrace(dir, prefix)) text += c.thread + " " + c.text + "\n";
  return text;
}

// The descriptor an open returned ("... = 7" at the end of the line), or "".
std::string Returned(const std::string& text) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(R"(= (\d+)$)")) ? m[1].str() : "";
}

TEST(DurableSaveTest, PvSaveIsAnsweredAfterTheFileTheRenameAndTheFolderAreSynced) {
  ENTER_PRIVATE_NETWORK();
  e2e::SyslogListener syslog;
  ASSERT_TRUE(syslog.Start());
  e2e::ServiceProcess service;
  ASSERT_TRUE(service.Start()) << service.error();
  e2e::TempDir scratch("strace");
  const std::string trace = scratch.File("trace");
  const std::string pid = std::to_string(service.pid());
  pid_t tracer = fork();
  if (tracer == 0) {
    execlp("strace", "strace", "-ff", "-qq", "-s", "32", "-o", trace.c_str(), "-e",
           "trace=openat,fsync,fdatasync,rename,renameat,renameat2,sendto", "-p", pid.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(tracer, 0);
  e2e::CommandClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_EQ(client.ReadReply(), "");
  // strace has the connection's thread once that thread's replies show in the trace.
  bool attached = false;
  for (int i = 0; i < 100 && !attached; ++i) {
    ASSERT_TRUE(client.Command("pv show").has_value());
    attached = TraceText(scratch.path(), "trace").find("sendto(") != std::string::npos;
    if (!attached) usleep(50 * 1000);
  }
  ASSERT_TRUE(attached) << "strace did not attach";
  ASSERT_EQ(client.Command("pv add 127.0.0.5"), "");
  ASSERT_EQ(client.Command("pv save"), "");
  kill(tracer, SIGINT);
  int status = 0;
  waitpid(tracer, &status, 0);

  // The thread that renamed pv.csv.tmp; its calls from the temporary file's open on.
  std::vector<Call> calls = ReadTrace(scratch.path(), "trace");
  std::string thread;
  for (const Call& c : calls) {
    if (c.text.find(R"(rename("pv.csv.tmp", "pv.csv"))") != std::string::npos) thread = c.thread;
  }
  ASSERT_NE(thread, "") << TraceText(scratch.path(), "trace");
  std::vector<std::string> mine;
  for (const Call& c : calls) {
    if (c.thread != thread) continue;
    if (c.text.find(R"("pv.csv.tmp", O_WRONLY)") != std::string::npos) mine.clear();
    mine.push_back(c.text);
  }
  std::string seen;
  for (const std::string& text : mine) seen += text + "\n";
  std::printf("the save, as traced:\n%s", seen.c_str());
  ASSERT_GE(mine.size(), 6u) << seen;
  std::string file = Returned(mine[0]);
  EXPECT_NE(file, "") << seen;
  EXPECT_EQ(mine[1], "fsync(" + file + ") = 0") << seen;
  EXPECT_EQ(mine[2], R"(rename("pv.csv.tmp", "pv.csv") = 0)") << seen;
  EXPECT_NE(mine[3].find(R"(openat(AT_FDCWD, ".", O_RDONLY)"), std::string::npos) << seen;
  EXPECT_EQ(mine[4], "fsync(" + Returned(mine[3]) + ") = 0") << seen;
  EXPECT_EQ(mine[5].rfind(R"(sendto()", 0), 0u) << seen;
  EXPECT_NE(mine[5].find(R"("$ ")"), std::string::npos) << "the prompt after the save\n" << seen;
  EXPECT_EQ(e2e::ReadFile(service.work_dir() + "/pv.csv").value_or("").find("127.0.0.5"), 1u);
  EXPECT_EQ(service.Stop(), 0);
}

}  // namespace
