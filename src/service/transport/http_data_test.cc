#include "service/transport/http_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "service/transport/http_client.h"

namespace {

std::string Encode(const std::string& bytes) {
  std::string out = "untouched";
  EXPECT_TRUE(Base64Encode(bytes.data(), bytes.size(), &out));
  EXPECT_EQ(out.size(), (bytes.size() + 2) / 3 * 4);
  return out;
}

TEST(Base64Test, EncodesEveryRemainderAndTheWholeAlphabet) {
  EXPECT_EQ(Encode(":"), "Og==");
  EXPECT_EQ(Encode("a:"), "YTo=");
  EXPECT_EQ(Encode("ad:m"), "YWQ6bQ==");
  EXPECT_EQ(Encode("admin"), "YWRtaW4=");
  EXPECT_EQ(Encode("admin:p"), "YWRtaW46cA==");
  EXPECT_EQ(Encode("admin:pass"), "YWRtaW46cGFzcw==");
  EXPECT_EQ(Encode("administrator"), "YWRtaW5pc3RyYXRvcg==");
  EXPECT_EQ(Encode("admin:secret"), "YWRtaW46c2VjcmV0");
  EXPECT_EQ(Encode(std::string("\xff\xfe\xfd\x00>?@", 7)), "//79AD4/QA==");
}

TEST(Base64Test, RefusesMissingOrEmptyInput) {
  std::string out = "untouched";
  EXPECT_FALSE(Base64Encode(nullptr, 3, &out));
  EXPECT_FALSE(Base64Encode("abc", 0, &out));
  EXPECT_EQ(out, "untouched");
}

std::string ExpectedHeader(const std::string& credentials, const std::string& host, size_t length) {
  return "POST /quarantine/qacl.cgi HTTP/1.1\r\nAccept: */*\r\nAccept-Language: en-us\r\n"
         "Authorization: Basic " +
         credentials + "\r\nUser-Agent: VoKelMng/1.0\r\nHost: " + host +
         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(length) +
         "\r\nCache-Control: no-cache\r\nKeepAlive: timeout=5\r\nConnection: Keep-Alive\r\n\r\n";
}

TEST(MakeHttpDataTest, RequestWithOneLineByteForByte) {
  CHttpDataList list;
  CHttpData request;
  const char* acl = "add access-list kel accept source 192.168.0.1 source-mac 00:00:00:00:00:00";
  ASSERT_EQ(list.MakeHttpData(&request, "admin", "secret", 1, LineClass::kQuarantine,
                              RequestOpcode::kSet, 1, acl, "172.16.0.1"),
            1);
  EXPECT_EQ(request.body,
            "version=1&class=quarantine&opcode=set&count=1&acl=add access-list kel accept "
            "source 192.168.0.1 source-mac 00:00:00:00:00:00");
  EXPECT_EQ(request.header, ExpectedHeader("YWRtaW46c2VjcmV0", "172.16.0.1", 124));
  EXPECT_TRUE(list.IsEmpty());  // making a request never touches the list

  CHttpData client;
  ASSERT_EQ(list.MakeHttpData(&client, "a", "", 7, LineClass::kClient, RequestOpcode::kGet, 1, "x",
                              "10.0.0.1"),
            1);
  EXPECT_EQ(client.body, "version=7&class=client&opcode=get&count=1&acl=x");
  EXPECT_EQ(client.header, ExpectedHeader("YTo=", "10.0.0.1", 47));
}

TEST(MakeHttpDataTest, ResetRequestsCarryNoLineAndCountZero) {
  CHttpDataList list;
  CHttpData client;
  ASSERT_EQ(list.MakeHttpData(&client, "", "", 1, LineClass::kClient, RequestOpcode::kReset, 9,
                              nullptr, "127.0.0.5"),
            1);
  EXPECT_EQ(client.body, "version=1&class=client&opcode=reset&count=0");
  EXPECT_EQ(client.header, ExpectedHeader("Og==", "127.0.0.5", 43));
  CHttpData quarantine;
  ASSERT_EQ(list.MakeHttpData(&quarantine, "admin", "pass", 1, LineClass::kQuarantine,
                              RequestOpcode::kReset, 1, nullptr, "127.0.0.5"),
            1);
  EXPECT_EQ(quarantine.body, "version=1&class=quarantine&opcode=reset&count=0");
  EXPECT_EQ(quarantine.header, ExpectedHeader("YWRtaW46cGFzcw==", "127.0.0.5", 47));
}

TEST(MakeHttpDataTest, UnknownClassOrOpcodeWritesNothing) {
  CHttpDataList list;
  for (auto [classCode, opcode] : {std::pair{3, 1}, {0, 1}, {1, 4}, {2, 0}}) {
    CHttpData request;
    EXPECT_EQ(list.MakeHttpData(&request, "u", "p", 1, static_cast<LineClass>(classCode),
                                static_cast<RequestOpcode>(opcode), 1, "x", "h"),
              0);
    EXPECT_EQ(request.header, "");
    EXPECT_EQ(request.body, "");
  }
}

CHttpData Request(uint32_t address, uint16_t port, const char* header, const char* body) {
  CHttpData data;
  data.address = address;
  data.port = port;
  data.header = header;
  data.body = body;
  return data;
}

TEST(HttpDataListTest, FindsTheFirstEqualRequestOnly) {
  CHttpData a = Request(0x0500007F, 880, "H", "B");
  EXPECT_TRUE(IsSameHttpData(a, CHttpData(a)));
  EXPECT_FALSE(IsSameHttpData(a, Request(0x0500007F, 881, "H", "B")));
  EXPECT_FALSE(IsSameHttpData(a, Request(0x0600007F, 880, "H", "B")));
  EXPECT_FALSE(IsSameHttpData(a, Request(0x0500007F, 880, "h", "B")));
  EXPECT_FALSE(IsSameHttpData(a, Request(0x0500007F, 880, "H", "B ")));

  CHttpDataList list;
  auto* first = new CHttpData(a);
  auto* other = new CHttpData(Request(0x0500007F, 881, "H", "B"));
  auto* second = new CHttpData(a);
  list.AddTail(other);
  list.AddTail(first);
  list.AddTail(second);
  EXPECT_EQ(list.FindHttpData(a), first);
  list.RemoveData(first);
  EXPECT_EQ(list.FindHttpData(a), second);
  list.Lock();
  EXPECT_EQ(list.FindHttpData(Request(0x0500007F, 880, "H", "C"), 1), nullptr);
  list.Unlock();

  uint8_t bytes[4] = {127, 0, 0, 5};
  CHttpData routed;
  routed.SetAddressBytes(bytes);
  EXPECT_EQ(routed.address, a.address);
}

// A request the dispatcher cannot place (every sender bound elsewhere) stays, and so does every
// later request to the same router, even when a sender comes free later in the same pass: that
// sender used to take the router's second request before its first.
TEST(DistributeStoreTest, ARouterLeftBehindKeepsItsLaterRequestsBehindItToo) {
  CHttpDataList store;
  auto add = [&](uint32_t address, const char* body) {
    auto* r = new CHttpData();
    r->address = address;
    r->port = 880;
    r->body = body;
    store.AddTail(r);
  };
  const uint32_t x = 0x0100007F, y = 0x0200007F;
  add(x, "x1");
  add(y, "y1");
  add(x, "x2");
  add(0, "nowhere");  // dropped: no router at 0.0.0.0
  add(y, "y2");
  std::vector<std::string> placed;
  int offers = 0;
  std::atomic<bool> ending{false};
  {
    CKelListLock hold(store);
    // The first offer finds every sender busy; one comes free right after it.
    DistributeStore(
        store,
        [&](CHttpData* r) {
          if (offers++ == 0) return false;
          placed.push_back(r->body);
          delete r;  // the sender's now
          return true;
        },
        ending);
  }
  EXPECT_EQ(placed, (std::vector<std::string>{"y1", "y2"}));
  EXPECT_EQ(offers, 3) << "x2 is not offered at all";
  std::vector<std::string> left;
  for (CKelNode* n = store.GetHead(); n != nullptr; n = store.GetNext(n)) {
    left.push_back(static_cast<CHttpData*>(n->data)->body);  // texts intact after the offer
  }
  EXPECT_EQ(left, (std::vector<std::string>{"x1", "x2"}));
}

}  // namespace
