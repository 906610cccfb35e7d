// Reading router answers off one end of a socketpair: what the reader takes as an answer, what
// it refuses as malformed, and that it never waits for bytes an answer does not need.
#include "service/transport/http_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "log_capture.h"

namespace {

class HttpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::Logs().Clear();
    Reopen();
  }
  void TearDown() override { Drop(); }

  // A fresh connection to a fresh router end.
  void Reopen() {
    Drop();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    int size = 4 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    router_ = fds[1];
    ASSERT_TRUE(connection_.Adopt(fds[0]));
  }
  void Drop() {
    connection_.Close();
    if (router_ >= 0) close(router_);
    router_ = -1;
  }

  // The router sends `bytes`; with `close`, it then ends its side.
  void Send(const std::string& bytes, bool close = false) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(router_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
    if (close) shutdown(router_, SHUT_WR);
  }
  // ReadAnswer's result, and how long it took in *ms.
  int Read(HttpAnswer* answer, int64_t* ms = nullptr) {
    auto start = std::chrono::steady_clock::now();
    int result = connection_.ReadAnswer(answer);
    if (ms != nullptr) {
      *ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
    }
    return result;
  }

  platform::Event end_;
  std::atomic<bool> stop_{false};
  CHttpConnection connection_{&end_, &stop_, 2000};
  int router_ = -1;
};

// A body over 1 MiB used to be a transport failure, so a line the router had applied was sent
// again up to three times (the chunked case logged at crit that memory had run out).
TEST_F(HttpConnectionTest, ABodyOverTheLimitIsAnAnswerJudgedByItsFirstBytes) {
  const std::string big(1 << 20, 'x');
  Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(2 + 3 * big.size()) + "\r\n\r\nok" +
       big);
  HttpAnswer answer;
  ASSERT_EQ(Read(&answer), 0);
  EXPECT_EQ(answer.status, 200u);
  EXPECT_TRUE(answer.oversized);
  EXPECT_FALSE(answer.reusable);  // the rest of that body is never read: the stream is spoilt
  EXPECT_EQ(answer.body.compare(0, 2, "ok"), 0);
  EXPECT_LE(answer.body.size(), 4096u);

  Reopen();
  Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\nno list\r\n300000\r\n" +
       big.substr(0, 4096));
  HttpAnswer chunked;
  ASSERT_EQ(Read(&chunked), 0);
  EXPECT_TRUE(chunked.oversized);
  EXPECT_FALSE(chunked.reusable);
  EXPECT_EQ(chunked.body.compare(0, 7, "no list"), 0);
  EXPECT_EQ(testsupport::Logs().Count("I failed in allocation of memory."), 0);
  EXPECT_EQ(testsupport::Logs().Count("larger than 1048576 bytes"), 2);
}

// Trailers are not read: a router that stops at the last chunk used to hold the reader for the
// whole budget (3 s in the service).
TEST_F(HttpConnectionTest, NothingIsAwaitedAfterTheLastChunk) {
  Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n");
  HttpAnswer answer;
  int64_t ms = 0;
  ASSERT_EQ(Read(&answer, &ms), 0);
  EXPECT_LT(ms, 500);
  EXPECT_EQ(answer.body, "ok");
  EXPECT_FALSE(answer.reusable);  // where the next answer starts is not known

  // With the empty line already there, the connection goes on to the next answer.
  Reopen();
  Send(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7\r\nno list\r\n0\r\n\r\n"
      "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\nok");
  HttpAnswer first, second;
  ASSERT_EQ(Read(&first), 0);
  EXPECT_EQ(first.body, "no list");
  EXPECT_TRUE(first.reusable);
  ASSERT_EQ(Read(&second), 0);
  EXPECT_EQ(second.status, 500u);
  EXPECT_EQ(second.body, "ok");
}

// Numbers used to wrap: chunk size 2^32 read as 0 (the last chunk), 2^32 + 3 as 3, a length of
// 2^64 + 2 as 2, a status of 2^32 + 200 as 200. Each is now a malformed answer.
TEST_F(HttpConnectionTest, ANumberThatDoesNotFitIsAMalformedAnswer) {
  const std::string cases[] = {
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000003\r\nabc\r\n0\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551618\r\n\r\nok",
      "HTTP/1.1 4294967496 OK\r\nContent-Length: 2\r\n\r\nok",
  };
  for (const std::string& bytes : cases) {
    Reopen();
    Send(bytes + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true);
    HttpAnswer answer;
    EXPECT_EQ(Read(&answer), -1) << bytes;
  }
  // Leading zeros do not make a number too big.
  Reopen();
  Send(
      "HTTP/1.1 0000000000000200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      "000000000000002\r\nok\r\n0\r\n\r\n");
  HttpAnswer answer;
  ASSERT_EQ(Read(&answer), 0);
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.body, "ok");
}

// A read waits on the socket alone; the stop flag still ends it well within the budget (2 s
// here), whether the router is silent or has sent part of an answer.
TEST_F(HttpConnectionTest, AStopEndsAReadThatIsWaitingForTheRouter) {
  for (const std::string& part : {std::string(), std::string("HTTP/1.1 200 OK\r\nContent-Le")}) {
    Reopen();
    stop_ = false;
    Send(part);
    std::thread stopper([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      stop_ = true;
    });
    HttpAnswer answer;
    int64_t ms = 0;
    EXPECT_EQ(Read(&answer, &ms), -1);
    stopper.join();
    EXPECT_LT(ms, 1500) << "after " << part.size() << " bytes";
  }
  stop_ = false;
}

// The reader moves whole runs of received bytes at once: an answer that arrives in two pieces,
// cut anywhere (inside a header end, a chunk line or the body), is read the same, and what
// follows it stays for the next answer.
TEST_F(HttpConnectionTest, AnAnswerCutAnywhereIsReadWholeAndTheNextStaysIntact) {
  const std::string answers[] = {
      "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nno list",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
  };
  const std::string next = "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nok";
  for (const std::string& bytes : answers) {
    const std::string expected = bytes.find("no list") != std::string::npos ? "no list" : "ok";
    for (size_t cut = 1; cut < bytes.size(); ++cut) {
      Reopen();
      Send(bytes.substr(0, cut));
      // The rest comes a moment later, so the reader has mostly taken the first piece by then.
      std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Send(bytes.substr(cut) + next);
      });
      HttpAnswer answer, second;
      int result = Read(&answer);
      rest.join();
      ASSERT_EQ(result, 0) << "cut at " << cut << " of " << bytes;
      EXPECT_EQ(answer.status, 200u) << cut;
      EXPECT_EQ(answer.body, expected) << cut;
      // A chunked answer whose closing empty line had not come yet ends the connection (see
      // above): nothing is awaited after the last chunk. Only such a cut may do that, and only
      // when the reader was there before the rest.
      if (!answer.reusable) {
        EXPECT_TRUE(expected == "ok" && cut >= bytes.size() - 2) << cut;
        continue;
      }
      ASSERT_EQ(Read(&second), 0) << cut;
      EXPECT_EQ(second.status, 404u) << cut;
      EXPECT_EQ(second.body, "ok") << cut;
    }
  }
}

}  // namespace
