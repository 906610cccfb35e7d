// Ending the HTTP client while its senders connect to a silent router and pause after failures.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "router_harness_testutil.h"
#include "service/base/messages.h"

namespace transporttest {
namespace {

// A router that never completes a handshake: a listener with a backlog of 0 whose only place is
// taken by a connection nobody accepts, so the kernel drops every further SYN.
class SilentRouter {
 public:
  explicit SilentRouter(const char* address) {
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(880);
    inet_pton(AF_INET, address, &sa.sin_addr);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    probe_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    auto* any = reinterpret_cast<struct sockaddr*>(&sa);
    ok_ = bind(listener_, any, sizeof sa) == 0 && listen(listener_, 0) == 0 &&
          connect(filler_, any, sizeof sa) == 0;
    // Proof that it is silent: a further connect gets no answer.
    connect(probe_, any, sizeof sa);
    struct pollfd p = {probe_, POLLOUT, 0};
    ok_ = ok_ && poll(&p, 1, 300) == 0;
  }
  ~SilentRouter() {
    for (int fd : {probe_, filler_, listener_}) close(fd);
  }
  bool ok() const { return ok_; }

 private:
  int listener_, filler_, probe_;
  bool ok_ = false;
};

std::string ConnectionError(const std::string& address) {
  return "Connection error to PV(" + address + ":880).";
}

using ShutdownTest = RouterTest;

TEST_F(ShutdownTest, ConnectToASilentRouterIsBounded) {
  SilentRouter silent("127.0.0.70");
  ASSERT_TRUE(silent.ok());
  HttpSenderTiming timing;
  timing.connectTimeoutMs = 400;
  StartClient(timing);
  StoreRequest("127.0.0.70", "add access-list kel accept source 10.0.0.1");
  int64_t start = NowMs();
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(ConnectionError("127.0.0.70"), 2000));
  int64_t took = log_->Times(ConnectionError("127.0.0.70"))[0] - start;
  EXPECT_GE(took, 350);
  EXPECT_LT(took, 1000);
}

TEST_F(ShutdownTest, EndsAtOnceWhileOneSenderConnectsAndAnotherPauses) {
  SilentRouter silent("127.0.0.71");
  ASSERT_TRUE(silent.ok());
  std::thread([] {}).join();  // a sanitizer's runtime starts its own thread with the first one
  const int threadsBefore = ThreadCount();
  HttpSenderTiming timing;  // the service's connect limit and the full 30 s third pause
  timing.retryPauseMs[0] = 50;
  timing.retryPauseMs[1] = 100;
  StartClient(timing);
  // Nothing listens at .72: three quick refusals, then the 30 s pause.
  StoreRequest("127.0.0.72", "add access-list kel accept source 10.0.0.1");
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(
      "The remainder re-try number of times for ACL setting for PV(127.0.0.72:880) is a 1 time.",
      3000));
  StoreRequest("127.0.0.71", "add access-list kel accept source 10.0.0.2");
  client_->EventSend();
  ASSERT_TRUE(log_->WaitFor(
      "CKelHttpClient::HttpEventSearchHttpClient: I added HTTP data to new queue of 127.0.0.71.",
      1000));
  usleep(300000);                             // the second sender is now inside its connect
  StoreRequest("127.0.0.73", "undelivered");  // still in the store at shutdown: discarded

  int64_t start = NowMs();
  client_->StopMessageThread();
  client_.reset();
  EXPECT_LT(NowMs() - start, 1000);
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_TRUE(HttpDataStore().IsEmpty());

  const std::string last = "End processing of an HTTP client was finished.";
  ASSERT_TRUE(log_->WaitFor(last, 1000));
  usleep(100000);
  std::vector<std::string> lines = log_->Lines();
  EXPECT_EQ(lines.back(), last);
  EXPECT_EQ(log_->Count("I started end processing of an HTTP client."), 1u);
  EXPECT_GE(log_->Count("End processing of an HTTP client thread was finished."), 5u);
  EXPECT_EQ(log_->Count("I timeout end processing of an HTTP client thread."), 0u);
  EXPECT_EQ(log_->Count(ConnectionError("127.0.0.71")), 0u);  // cancelled, not failed
  for (const std::string& text : lines)
    EXPECT_EQ(text.find("An error occurred"), std::string::npos) << text;

  // The event thread said goodbye to its main thread (the test standing in for the controller).
  platform::Message msg;
  bool exited = false;
  while (!exited && platform::GetMessageFor(&msg, 500) == 1)
    exited = msg.message == Msg().httpClientExit;
  EXPECT_TRUE(exited);
}

}  // namespace
}  // namespace transporttest
