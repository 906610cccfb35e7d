#include "router_harness_testutil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/syslog.h"
#include "deadline.h"
#include "platform/message_queue.h"
#include "service/transport/http_data.h"

extern char** environ;

namespace transporttest {

int64_t NowMs() { return testsupport::NowMs(); }

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& readyText) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    pid_ = -1;
    close(out[0]);
    return false;
  }
  std::string seen;
  int64_t deadline = NowMs() + 5000;
  while (!readyText.empty() && seen.find(readyText) == std::string::npos && NowMs() < deadline) {
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(deadline - NowMs())) <= 0) break;
    char chunk[256];
    ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    seen.append(chunk, static_cast<size_t>(n));
  }
  close(out[0]);
  return readyText.empty() || seen.find(readyText) != std::string::npos;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    usleep(10000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

namespace {

// Reads one JSON value at `p` into `out` (objects flattened as prefix.key); minimal but enough
// for pvsim's journal: strings with \" \\ \uXXXX escapes, numbers, true/false, objects.
void ParseValue(const std::string& s, size_t& p, const std::string& key, JournalEntry& out);

std::string ParseString(const std::string& s, size_t& p) {
  std::string text;
  for (++p; p < s.size() && s[p] != '"'; ++p) {
    if (s[p] == '\\' && p + 1 < s.size()) {
      ++p;
      if (s[p] == 'u') {
        text += static_cast<char>(std::strtol(s.substr(p + 1, 4).c_str(), nullptr, 16));
        p += 4;
        continue;
      }
    }
    text += s[p];
  }
  ++p;
  return text;
}

void ParseObject(const std::string& s, size_t& p, const std::string& prefix, JournalEntry& out) {
  for (++p; p < s.size() && s[p] != '}';) {
    if (s[p] == ',' || s[p] == ' ') {
      ++p;
      continue;
    }
    std::string key = ParseString(s, p);
    ++p;  // ':'
    ParseValue(s, p, prefix.empty() ? key : prefix + "." + key, out);
  }
  ++p;
}

void ParseValue(const std::string& s, size_t& p, const std::string& key, JournalEntry& out) {
  if (s[p] == '{') return ParseObject(s, p, key, out);
  if (s[p] == '"') {
    out[key] = ParseString(s, p);
    return;
  }
  size_t end = s.find_first_of(",}", p);
  out[key] = s.substr(p, end - p);
  p = end;
}

}  // namespace

Pvsim::Pvsim(const std::string& dir, const std::string& address, std::vector<std::string> options,
             uint16_t port)
    : journal_(dir + "/pvsim-" + address + "-" + std::to_string(port) + ".jsonl") {
  std::vector<std::string> argv = {PVSIM_PATH, "--listen", address + ":" + std::to_string(port),
                                   "--journal", journal_};
  argv.insert(argv.end(), options.begin(), options.end());
  ok_ = child_.Start(argv, "pvsim: listening on");
}

std::vector<JournalEntry> Pvsim::Journal() const {
  std::vector<JournalEntry> entries;
  std::ifstream in(journal_);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] != '{') continue;
    JournalEntry entry;
    size_t p = 0;
    ParseObject(line, p, "", entry);
    entries.push_back(entry);
  }
  return entries;
}

bool Pvsim::WaitForEntries(size_t count, int timeoutMs) const {
  int64_t deadline = NowMs() + timeoutMs;
  while (Journal().size() < count) {
    if (NowMs() >= deadline) return false;
    usleep(10000);
  }
  return true;
}

std::vector<std::string> LogCollector::Lines() {
  std::vector<std::string> texts;
  for (const testsupport::LogLine& line : testsupport::Logs().Lines()) texts.push_back(line.text);
  return texts;
}

std::vector<int64_t> LogCollector::Times(const std::string& text) {
  std::vector<int64_t> times;
  for (const testsupport::LogLine& line : testsupport::Logs().Lines()) {
    if (line.text == text) times.push_back(line.at_ms);
  }
  return times;
}

size_t LogCollector::Count(const std::string& text) { return Times(text).size(); }

int LogCollector::IndexOf(const std::string& text) {
  std::vector<std::string> lines = Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == text) return static_cast<int>(i);
  }
  return -1;
}

bool LogCollector::WaitFor(const std::string& text, int timeoutMs, size_t count) {
  int64_t deadline = NowMs() + timeoutMs;
  while (Count(text) < count) {
    if (NowMs() >= deadline) return false;
    testsupport::Logs().WaitFor(text, 20);
    usleep(1000);
  }
  return true;
}

TestEnvironment::TestEnvironment() : dir_("transport-test", testsupport::ScratchDir::kProfileDir) {
  SyslogSetMask(kLogDebug);
  testsupport::Logs().Clear();
  HttpDataStore().RemoveAll();
}

uint32_t Address(const std::string& dotted) {
  struct in_addr a = {};
  inet_pton(AF_INET, dotted.c_str(), &a);
  return a.s_addr;
}

void StoreRequest(const std::string& address, const std::string& acl, uint16_t port) {
  auto* request = new CHttpData();
  request->address = Address(address);
  request->port = port;
  CHttpDataList& store = HttpDataStore();
  store.MakeHttpData(request, "admin", "secret", 1, LineClass::kClient, RequestOpcode::kSet, 1,
                     acl.c_str(), address);
  store.AddTail(request);
}

int ThreadCount() {
  int count = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (struct dirent* e = readdir(d)) count += e->d_name[0] != '.';
    closedir(d);
  }
  return count;
}

std::string Cord(const std::string& address, const std::string& what) {
  return "Response cord from PV(" + address + ":880) is " + what + ".";
}

void RouterTest::SetUp() {
  ENTER_PRIVATE_NETWORK();
  env_ = std::make_unique<TestEnvironment>();
  log_ = std::make_unique<LogCollector>();
  ASSERT_TRUE(log_->ok());
  platform::AttachMessageQueue();
}

void RouterTest::TearDown() {
  client_.reset();
  log_.reset();
  env_.reset();
  platform::DetachMessageQueue();
}

std::unique_ptr<Pvsim> RouterTest::StartRouter(const std::string& address,
                                               std::vector<std::string> options) {
  auto router = std::make_unique<Pvsim>(env_->dir(), address, std::move(options));
  EXPECT_TRUE(router->ok()) << "pvsim on " << address;
  return router;
}

void RouterTest::StartClient(const HttpSenderTiming& timing, int senders) {
  client_ = std::make_unique<CKelHttpClient>(timing, senders);
  client_->SaveThreadID(platform::CurrentThreadId());
}

}  // namespace transporttest
