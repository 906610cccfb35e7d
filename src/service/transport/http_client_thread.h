// One of the HTTP client's senders. While bound to a router it delivers that router's
// queued requests in order over one keep-alive connection, one request in flight at a time,
// retries transport failures with pauses and releases itself once its queue is empty.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/event.h"
#include "platform/thread.h"
#include "service/transport/http_data.h"

class CHttpConnection;
struct HttpAnswer;
struct RouterTls;

// Time limits of a sender. The defaults are the service's; tests may shorten them.
struct HttpSenderTiming {
  int connectTimeoutMs = 21000;                 // handshake with a router
  int receiveBudgetMs = 3000;                   // each read of an answer
  int retryPauseMs[3] = {10000, 20000, 30000};  // after the 1st, 2nd and 3rd failed attempt
  int dropPauseMs = 30000;  // after the 4th failure dropped a request and more are queued
  int endWaitMs = 10000;    // EndHttpThread's wait per round
  int pollMs = 100;         // the dispatcher's and every sender's look at their queues
};

class CKelHttpClientThread {
 public:
  // Throws the event text when an event cannot be made.
  // `tls`: how routers are reached over TLS, shared by every sender; null: plain HTTP.
  explicit CKelHttpClientThread(const HttpSenderTiming& timing = HttpSenderTiming(),
                                std::shared_ptr<const RouterTls> tls = nullptr);
  ~CKelHttpClientThread();  // runs EndHttpThread
  CKelHttpClientThread(const CKelHttpClientThread&) = delete;
  CKelHttpClientThread& operator=(const CKelHttpClientThread&) = delete;

  // Starts the sender thread as sender `number` (0 up to the client's sender count - 1). 0, or -1
  // when it cannot be started.
  int CreateHttpThread(int number);
  // Stops the thread (within a pause or a read, at once), drops the queue and the binding.
  // Safe to call again; later calls only log.
  void EndHttpThread();

  // The receiver of WM_THREAD_ERROR and WM_THREAD_EXIT (the dispatcher's message thread).
  void SaveThreadID(platform::ThreadId id);
  platform::ThreadId LoadThreadID();
  bool PostMessageMainThread(uint32_t message, uint32_t wParam, uint32_t lParam);

  // Dispatcher side; each call holds the binding lock (taken after the dispatcher's table lock).
  // Queues `request` (ownership passes) and wakes the sender when bound to its address.
  // false: not bound to it, the caller keeps the request. Rethrows a failed append.
  bool QueueIfBoundTo(CHttpData* request);
  // Binds a free sender to the request's address and port, then as QueueIfBoundTo.
  bool BindAndQueue(CHttpData* request);
  // When bound to `address`: drops the queue, frees the sender, stores the port it had, true.
  bool EraseIfBoundTo(uint32_t address, uint16_t* port);
  // Bound address (network order; 0 when free) and port.
  void Binding(uint32_t* address, uint16_t* port);
  // Requests in this sender's queue, the one in flight included.
  int32_t QueuedCount() { return queue_.GetCount(); }
  int Number() const { return number_; }

 private:
  struct Bound {
    uint32_t address;
    uint16_t port;
    int32_t retry;
    uint32_t binding;  // changes at every bind and release: tells a rebind to the same router
  };
  void HttpProc();
  void HttpSend();
  int HttpClient(const Bound& bound);
  int Exchange(CHttpConnection& connection, const Bound& bound);
  void Judge(const Bound& bound, const HttpAnswer& answer);
  Bound LoadBound();
  void SetRetry(int32_t retry);
  bool ReleaseIfEmpty();
  void DropHead(const Bound& bound);
  void DropFenced(const Bound& bound);
  void Pause(int ms, const Bound& bound);

  const HttpSenderTiming timing_;
  const std::shared_ptr<const RouterTls> tls_;
  platform::Thread thread_;
  bool running_ = false;  // thread started and not yet joined (EndHttpThread's caller only)
  std::mutex bindingLock_;
  uint32_t address_ = 0;  // guarded by bindingLock_
  uint16_t port_ = 0;     // guarded by bindingLock_
  int32_t retry_ = 0;     // guarded by bindingLock_
  uint32_t binding_ = 0;  // guarded by bindingLock_
  CHttpDataList queue_;
  platform::Event wake_;
  platform::Event end_;
  platform::Event unbound_;  // set by an erase
  std::mutex threadIdLock_;
  platform::ThreadId ownerThreadId_ = 0;  // guarded by threadIdLock_
  int number_ = 0;
  std::atomic<bool> stop_{false};
};
