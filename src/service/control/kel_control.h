// The controller: loads the registries, starts and wires every component, runs the access-list
// processing for changed registries, queues router events for its two router-event threads,
// and ends every component in a fixed order when the service stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/thread.h"
#include "service/acl/acl_process.h"
#include "service/acl/router_repair.h"
#include "service/base/message_thread.h"
#include "service/keepalive/keep_alive_timing.h"
#include "service/registry/kel_list.h"
#include "service/transport/http_client_thread.h"

// The fixed delays of every component the controller starts. The defaults are the service's.
struct ControlTiming {
  KeepAliveTiming keepAlive;
  HttpSenderTiming senders;
  int eventPollMs = 100;    // the router-event threads' look at their queues
  RepairTiming repair;      // tries of routers out of sync
  int repairPollMs = 1000;  // the repair thread's look at the out-of-sync marks
};

class CKelApiServer;
class ClusterNode;
struct ClusterSettings;
class CKelCmdServer;
class CKelHttpClient;
class CKelKeepAlive;

class CKelControl : public CKelMessageThread {
 public:
  // Runs the whole start-up (OnCreate) before it returns. Throws the start-up failure texts.
  explicit CKelControl(const ControlTiming& timing = ControlTiming());
  ~CKelControl() override;

  // The stop control: sets the stop-requested flag and posts the quit message.
  void RequestStop();
  bool StopRequested() const { return stopRequested_.load(std::memory_order_relaxed) != 0; }
  const std::atomic<int32_t>& StopFlag() const { return stopRequested_; }

  // True once the message thread has finished its shutdown (waits at most timeout_ms).
  bool WaitEndedFor(int timeout_ms);
  // True when the start was refused (a bad setting): the service ends at once and fails.
  bool StartFailed() const { return startFailed_.load(); }

  // The components; null while absent. Valid on the controller's threads while it runs.
  CKelHttpClient* HttpClient() const { return httpClient_.get(); }
  // The router-up and router-down queues of CKeepAliveData records.
  CKelList& StartQueue() { return startQueue_; }
  CKelList& StopQueue() { return stopQueue_; }

 protected:
  void OnStartup() override;  // OnCreate
  void OnMessage(const platform::Message& msg) override;
  void OnQuit() override;  // the stop demand and OnClose

 private:
  const ControlTiming timing_;
  // One router-event thread with its wake and end events.
  struct EventThread {
    platform::Event wake;
    platform::Event end;
    platform::Thread thread;
  };

  AclEnvironment AclEnv();
  void OnCreate();
  void OnClose();
  void LoadRegistries();
  void StartCluster(const ClusterSettings& settings);
  // Posts a router-up event to `controller` (this controller's thread) for every ON router.
  static void LeadRouters(platform::ThreadId controller);
  void ClearPendingAdd();
  void StartCommandServer();
  void StartHttpClient();
  void StartEventThread(EventThread& t, bool start_side);
  void StartRepairThread();
  void StartKeepAlive();
  void StartApi();
  void QueueRouterEvent(bool up, uint32_t address);
  void EventThreadLoop(EventThread& t, bool start_side);
  void EndEventThread(EventThread& t, const char* begin_text, const char* end_text);

  std::atomic<int32_t> stopRequested_{0};
  std::unique_ptr<CKelCmdServer> cmdServer_;
  std::unique_ptr<CKelHttpClient> httpClient_;
  std::unique_ptr<CKelKeepAlive> keepAlive_;
  std::unique_ptr<CKelApiServer> api_;    // only with [STATUS] LISTEN
  std::unique_ptr<ClusterNode> cluster_;  // only with [CLUSTER] ETCD
  std::atomic<bool> startFailed_{false};
  std::atomic<bool> started_{false};  // the whole start-up has run
  int64_t startTime_ = 0;
  CKelList startQueue_;
  EventThread startThread_;
  CKelList stopQueue_;
  EventThread stopThread_;
  EventThread repairThread_;  // routers out of sync
  platform::Event ended_;
};
