// The HTTP client: moves the requests waiting in the request store (HttpDataStore()) to its
// senders ([HTTP] SENDERS, 5 unless configured), one router per sender, so that every router
// gets its requests one after another in the order they were made while as many routers as
// there are senders are served at once. A router whose turn comes while every sender is bound
// to another router waits in the store for the next free one.
//
// How the controller uses it, all from the controller's message thread:
//   construct (the senders and the event thread start inside; throws a text on failure),
//   SaveThreadID(own thread id) (receives WM_HTTPCLIENT_ERROR / WM_HTTPCLIENT_EXIT),
//   producers: HttpDataStore().AddTail(request), then EventSend() (any thread),
//   EraseHttpQueue(address) when a router goes down (any thread),
//   shutdown: StopMessageThread() then destroy, or just destroy. End processing drops what is
//   still undelivered and returns within seconds even while senders connect, read or pause.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "service/base/message_thread.h"
#include "service/transport/http_client_thread.h"
#include "service/transport/http_data.h"
#include "service/transport/http_settings.h"

// One pass of the dispatcher over `store`, whose lock the caller holds: every request, in order,
// is offered to `place` (true: a sender took it, and owns what it was given), and removed from
// the store when taken. A request to 0.0.0.0 is dropped with a warning. Once a router's request
// stays in the store, every later request to that router stays too: a sender that comes free
// during the pass must not take a router's later request before its earlier one. Ends early
// when `ending` is set.
void DistributeStore(CHttpDataList& store, const std::function<bool(CHttpData*)>& place,
                     const std::atomic<bool>& ending);

class CKelHttpClient : public CKelMessageThread {
 public:
  // One sender as it is at the moment it is looked at.
  struct SenderState {
    int number = 0;
    uint32_t address = 0;  // network order; 0 while free
    uint16_t port = 0;
    int32_t queued = 0;
  };

  // Returns once the message thread has made the senders and the event thread. `senderCount`
  // is taken into 1..kMaxHttpSenders.
  // `tls` (LoadRouterTls) is shared by every sender; without it the routers get plain HTTP.
  explicit CKelHttpClient(const HttpSenderTiming& timing = HttpSenderTiming(),
                          int senderCount = kDefaultHttpSenders, RouterTls tls = RouterTls());
  ~CKelHttpClient() override;

  // Wakes the event thread to distribute the store now. Nonzero on success. Any thread.
  int EventSend();
  // Drops whatever the sender bound to `address` (network order) still holds and frees it.
  // Requests for that router still in the store are left alone. Any thread.
  void EraseHttpQueue(uint32_t address);
  // The senders that run, each with its binding and queue length. Any thread; empty while the
  // client ends.
  std::vector<SenderState> Senders();
  // How many senders the client was made with (some may have failed to start).
  int SenderCount() const { return static_cast<int>(senders_.size()); }
  // The routers' TLS settings every sender connects with. Any thread.
  const RouterTls* Tls() const { return tls_.get(); }

 protected:
  void OnStartup() override;  // OnCreate
  void OnMessage(const platform::Message& msg) override;
  void OnQuit() override;  // end processing

 private:
  void EventProc();
  void DistributeHttpData();
  // 0 when a sender took `request` (then it owns it), -1 otherwise.
  int HttpEventSearchHttpClient(CHttpData* request);
  void EndSenders();

  const HttpSenderTiming timing_;
  const std::shared_ptr<const RouterTls> tls_;
  platform::Thread eventThread_;
  std::mutex tableLock_;  // the sender table and every binding decision
  // Sized once by the constructor; the entries are guarded by tableLock_.
  std::vector<CKelHttpClientThread*> senders_;
  platform::Event end_;
  platform::Event wake_;
  std::atomic<bool> eventsMade_{false};
  std::atomic<bool> ending_{false};
};
