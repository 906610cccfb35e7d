#include "router_harness_testutil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include "common/syslog.h"
#include "deadline.h"
#include "platform/message_queue.h"
#include "service/transport/http_data.h"

namespace transporttest {

int64_t NowMs() { return testsupport::NowMs(); }

Pvsim::Pvsim(const std::string& address, std::vector<std::string> options, uint16_t port)
    : process_(PVSIM_PATH) {
  testsupport::PvsimOptions o;
  o.port = port;
  o.login = false;
  o.extra = std::move(options);
  ok_ = process_.Start(address, o);
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
  auto router = std::make_unique<Pvsim>(address, std::move(options));
  EXPECT_TRUE(router->ok()) << "pvsim on " << address;
  return router;
}

void RouterTest::StartClient(const HttpSenderTiming& timing, int senders, RouterTls tls) {
  client_ = std::make_unique<CKelHttpClient>(timing, senders, std::move(tls));
  client_->SaveThreadID(platform::CurrentThreadId());
}

}  // namespace transporttest
