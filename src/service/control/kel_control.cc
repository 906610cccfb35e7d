#include "service/control/kel_control.h"

#include <cstring>
#include <vector>

#include "common/syslog.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "service/acl/acl_process.h"
#include "service/acl/out_of_sync_marks.h"
#include "service/acl/router_recovery.h"
#include "service/acl/state_sync.h"
#include "service/api/api_server.h"
#include "service/base/messages.h"
#include "service/cluster/cluster_node.h"
#include "service/cluster/cluster_settings.h"
#include "service/command/command_audit.h"
#include "service/command/command_tls.h"
#include "service/command/kel_cmd_server.h"
#include "service/command/service_settings.h"
#include "service/keepalive/keep_alive_data.h"
#include "service/keepalive/kel_keep_alive.h"
#include "service/registry/kel_store.h"
#include "service/registry/pc_csv.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_csv.h"
#include "service/registry/pv_data.h"
#include "service/registry/pvroute_csv.h"
#include "service/registry/quarantine_csv.h"
#include "service/registry/quarantine_data.h"
#include "service/registry/registry_replica.h"
#include "service/transport/delivery_stats.h"
#include "service/transport/http_client.h"
#include "service/transport/http_settings.h"

namespace {

const CKelMessageThread::Texts kTexts = {
    "I failed in making of an event handler for start confirmation to use in CKelControl.", nullptr,
    "I failed in making of a message thread to use in CKelControl.",
    "CKelControl::~CKelControl: An error occurred in PostThreadMessage."};

// Clears pendingAdd on every record of `list`, under its lock.
void ClearListPendingAdd(CKelList& list) {
  CKelListLock hold(list);
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    node->data->pendingAdd = 0;
  }
}

}  // namespace

CKelControl::CKelControl(const ControlTiming& timing) : CKelMessageThread(kTexts), timing_(timing) {
  StartMessageThread();
}

CKelControl::~CKelControl() { StopMessageThread(); }

void CKelControl::RequestStop() {
  stopRequested_.store(1);
  platform::PostThreadMessage(MessageThreadId(), platform::WM_QUIT, 0, 0);
}

bool CKelControl::WaitEndedFor(int timeout_ms) {
  if (!ended_.ok()) return true;
  if (!platform::WaitOne(ended_, timeout_ms)) return false;
  ended_.Set();  // stays signalled for later callers
  return true;
}

void CKelControl::OnStartup() { OnCreate(); }

void CKelControl::OnQuit() {
  Syslog(kLogDebug, "CKelControl::MsgProc: I received a service stop demand.");
  OnClose();
  ended_.Set();
}

void CKelControl::OnMessage(const platform::Message& msg) {
  // Once a stop is asked for, what is still queued is not worked off: the quit behind a long
  // backlog of notifications (a flood of commands) must not wait for all of it.
  if (StopRequested()) return;
  const KelMessages& m = Msg();
  if (msg.message == m.protocolRecv) {
    // Taken before the run: a change applied during it sends a new notice.
    if (cluster_) cluster_->Acknowledge(static_cast<CommandFamily>(msg.wParam));
    AclCommandProcess(AclEnv(), static_cast<CommandFamily>(msg.wParam), msg.lParam);
  } else if (msg.message == m.keepAliveStart) {
    QueueRouterEvent(true, msg.wParam);
  } else if (msg.message == m.keepAliveStop) {
    QueueRouterEvent(false, msg.wParam);
  }
}

AclEnvironment CKelControl::AclEnv() {
  AclEnvironment env;
  env.stopRequested = &stopRequested_;
  env.httpClient = httpClient_.get();
  env.startQueue = &startQueue_;
  env.stopQueue = &stopQueue_;
  return env;
}

void CKelControl::QueueRouterEvent(bool up, uint32_t address) {
  // The address arrives in network order: its first byte in memory is the first octet.
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
  try {
    CKeepAliveData* data = new CKeepAliveData();
    data->SetAddressValue(address);
    try {
      (up ? startQueue_ : stopQueue_).AddTail(data);
    } catch (...) {
      delete data;
      throw;
    }
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
    return;
  } catch (...) {
    Syslog(kLogCrit, "I failed in making of CKeepAliveData.");
    return;
  }
  Syslog(kLogDebug,
         up ? "KeepAlive start event addition of PV(%d.%d.%d.%d)."
            : "KeepAlive stop event addition of PV(%d.%d.%d.%d).",
         b[0], b[1], b[2], b[3]);
  (up ? startThread_ : stopThread_).wake.Set();
}

void CKelControl::OnCreate() {
  startTime_ = platform::NowSeconds();
  StateSyncConfigure();
  RouterSyncInstall(StateSyncOn());
  ClusterSettings cluster;
  std::string refusal;
  if (!LoadClusterSettings(&cluster, &refusal)) {
    // Never standalone instead: two halves of a cluster must not both run alone.
    Syslog(kLogErr, "%s", refusal.c_str());
    startFailed_.store(true);
    platform::PostThreadMessage(platform::CurrentThreadId(), platform::WM_QUIT, 0, 0);
    return;
  }
  LoadRegistries();
  ClearPendingAdd();
  if (cluster.enabled) StartCluster(cluster);
  CommandPortAudit().Configure(ReadAuditSettings());
  StartCommandServer();
  StartHttpClient();
  StartEventThread(startThread_, true);
  StartEventThread(stopThread_, false);
  StartRepairThread();
  StartKeepAlive();
  started_.store(true);
  StartApi();
  Syslog(kLogDebug, "Start processing was finished.");
}

// Reads [STATUS] LISTEN; without it nothing is started and nothing is logged.
void CKelControl::StartApi() {
  ApiListen listen = LoadApiListen();
  if (!listen.enabled) return;
  try {
    ApiSources sources;
    sources.httpClient = httpClient_.get();
    sources.controllerStarted = [this] { return started_.load() && !StopRequested(); };
    sources.startTime = startTime_;
    if (cluster_) {
      ClusterNode* node = cluster_.get();
      sources.cluster = [node] {
        ClusterStatus status = node->Status();
        ClusterView view;
        view.enabled = true;
        view.role = status.leading ? "leader" : "follower";
        view.name = status.name;
        view.leader = status.leader;
        view.term = status.term;
        view.etcdUp = status.etcdUp;
        view.leaderChanges = status.leaderChanges;
        return view;
      };
    }
    api_.reset(new CKelApiServer(std::move(sources)));
    if (!api_->Start(listen)) api_.reset();
  } catch (...) {
    api_.reset();
    Syslog(kLogCrit, "I failed in start of the status API.");
  }
}

void CKelControl::LoadRegistries() {
  PvLoad();
  Syslog(kLogDebug, "I succeeded in reading of PV data.");
  LoadPvrouteFile(PvList());
  Syslog(kLogDebug, "I succeeded in reading of PVROUTE data.");
  LoadPcFile(PcList());
  Syslog(kLogDebug, "I succeeded in reading of PC data.");
  LoadQuarantineFile(QuarantineList());
  Syslog(kLogDebug, "I succeeded in reading of QUARANTINE data.");
  KelStoreStart();  // before any router can come ON: the first reload carries the entries
  LoadServiceSettings();
  Syslog(kLogDebug, "I succeeded in reading of SERVICE data.");
}

// The registries come from etcd from here on; what the files held seeds an empty cluster.
void CKelControl::StartCluster(const ClusterSettings& settings) {
  if (KelStoreStateNow() != KelStoreState::kOff) {
    Syslog(kLogWarning,
           "KEL STORE is not used in cluster mode: the access entries live in etcd (kel.journal "
           "was read once, to seed an empty cluster).");
    KelStoreClose();
  }
  platform::ThreadId self = platform::CurrentThreadId();
  ClusterNode::Hooks hooks;
  hooks.changed = [self](CommandFamily family) {
    platform::PostThreadMessage(self, Msg().protocolRecv, static_cast<uint32_t>(family),
                                kResultLoad);
  };
  hooks.lead = [self] { LeadRouters(self); };
  cluster_ = std::make_unique<ClusterNode>(settings, hooks);
  cluster_->TakeSeed();
  SetActiveReplica(cluster_.get());
  cluster_->Start();
}

// A new leader cannot know what its predecessor delivered: every router it finds ON is reset
// and reloaded, as for a router that comes back.
void CKelControl::LeadRouters(platform::ThreadId controller) {
  std::vector<uint32_t> on;
  {
    CKelListLock hold(PvList());
    for (CKelNode* n = PvList().GetHead(1); n != nullptr; n = PvList().GetNext(n, 1)) {
      auto* router = static_cast<CPvData*>(n->data);
      if (router->pendingDelete || !router->alive) continue;
      router->resendPending = 1;  // what this instance "sent" as a follower went nowhere
      uint32_t address = 0;
      std::memcpy(&address, router->address.data(), 4);
      on.push_back(address);
    }
  }
  for (uint32_t address : on) {
    platform::PostThreadMessage(controller, Msg().keepAliveStart, address, 0);
  }
}

void CKelControl::ClearPendingAdd() {
  CPvList& routers = PvList();
  {
    CKelListLock hold(routers);
    for (CKelNode* n = routers.GetHead(1); n != nullptr; n = routers.GetNext(n, 1)) {
      n->data->pendingAdd = 0;
    }
    for (CKelNode* n = routers.GetHead(1); n != nullptr; n = routers.GetNext(n, 1)) {
      ClearListPendingAdd(static_cast<CPvData*>(n->data)->routes);
    }
  }
  ClearListPendingAdd(QuarantineList());
  ClearListPendingAdd(PcList());
}

void CKelControl::StartCommandServer() {
  try {
    cmdServer_.reset();
    cmdServer_.reset(new CKelCmdServer());
    cmdServer_->SaveThreadID(platform::CurrentThreadId());
    uint16_t port = CurrentServiceSettings().port;
    if (!cmdServer_->Start(port, LoadCommandTlsPort(port))) {
      if (!platform::PostThreadMessage(platform::CurrentThreadId(), platform::WM_QUIT, 0, 0)) {
        Syslog(kLogErr, "CKelControl::OnCreate: An error occurred in PostThreadMessage.");
      }
    }
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
  } catch (...) {
    Syslog(kLogCrit, "I failed in start of CKelCmdServer.");
  }
  Syslog(kLogDebug, "I succeeded in making of a COMMAND thread.");
}

void CKelControl::StartHttpClient() {
  try {
    httpClient_.reset();
    RouterTls tls = LoadRouterTls();
    TransportStats().SetTlsEnabled(tls.enabled);
    httpClient_.reset(new CKelHttpClient(timing_.senders, LoadHttpSenders(), std::move(tls)));
    httpClient_->SaveThreadID(platform::CurrentThreadId());
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
  } catch (...) {
    Syslog(kLogCrit, "I failed in start of CKelHttpClient.");
  }
  Syslog(kLogDebug, "I succeeded in making of a HTTP CLIENT thread.");
}

void CKelControl::StartEventThread(EventThread& t, bool start_side) {
  const char* name = start_side ? "KeepAliveStartProc" : "KeepAliveStopProc";
  if (!t.wake.ok() || !t.end.ok()) {
    Syslog(kLogCrit, "I failed in making of an event handler for start confirmation to use in %s.",
           name);
  }
  bool started = t.thread.Start([this, &t, start_side, name] {
    if (!platform::SetCurrentThreadPriority(platform::ThreadPriority::kBelowNormal)) {
      Syslog(kLogWarning, "%s: I failed in setting of thread priority.", name);
    }
    EventThreadLoop(t, start_side);
  });
  if (!started) Syslog(kLogCrit, "I failed in start of %s.", name);
}

void CKelControl::StartRepairThread() {
  if (!repairThread_.wake.ok() || !repairThread_.end.ok()) {
    Syslog(kLogCrit,
           "I failed in making of an event handler for start confirmation to use in "
           "KeepAliveRepairProc.");
  }
  bool started = repairThread_.thread.Start([this] {
    if (!platform::SetCurrentThreadPriority(platform::ThreadPriority::kBelowNormal)) {
      Syslog(kLogWarning, "KeepAliveRepairProc: I failed in setting of thread priority.");
    }
    AclEnvironment env = AclEnv();
    while (!StopRequested()) {
      int which =
          platform::WaitAny({&repairThread_.wake, &repairThread_.end}, timing_.repairPollMs);
      if (which != 0 && which != platform::kWaitTimeout) break;
      KeepAliveRepairProcess(env, timing_.repair);
    }
  });
  if (!started) Syslog(kLogCrit, "I failed in start of KeepAliveRepairProc.");
}

void CKelControl::EventThreadLoop(EventThread& t, bool start_side) {
  AclEnvironment env = AclEnv();
  while (!StopRequested()) {
    int which = platform::WaitAny({&t.wake, &t.end}, timing_.eventPollMs);
    if (which == 0 || which == platform::kWaitTimeout) {
      if (start_side) {
        KeepAliveStartProcess(env);
      } else {
        KeepAliveStopProcess(env);
      }
    } else {
      break;  // the end event, or a failed wait
    }
  }
}

void CKelControl::StartKeepAlive() {
  try {
    keepAlive_.reset();
    keepAlive_.reset(new CKelKeepAlive(timing_.keepAlive));
    keepAlive_->SaveThreadID(platform::CurrentThreadId());
    keepAlive_->Start();
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
  } catch (...) {
    Syslog(kLogCrit, "I failed in start of CKelKeepAlive.");
  }
  Syslog(kLogDebug, "I succeeded in making of a KEEP ALIVE thread.");
}

void CKelControl::EndEventThread(EventThread& t, const char* begin_text, const char* end_text) {
  Syslog(kLogDebug, "%s", begin_text);
  if (t.thread.started()) {
    t.end.Set();
    t.thread.Join();
  }
  Syslog(kLogDebug, "%s", end_text);
}

void CKelControl::OnClose() {
  // First: stop sending and hand the leadership on at once.
  if (cluster_) cluster_->Stop();
  if (api_) {
    api_->Stop();  // before the components it reads go
    api_.reset();
  }
  Syslog(kLogDebug, "I generated an end event of an KeepAlive.");
  if (keepAlive_) {
    if (!keepAlive_->StopMessageThread()) {
      Syslog(kLogErr, "CKelControl::OnClose: An error occurred in PostThreadMessage.");
    }
    keepAlive_.reset();
  }
  Syslog(kLogDebug, "An KeepAlive was finished normally.");
  EndEventThread(startThread_, "I generated an end event of an KeepAliveStart.",
                 "An KeepAliveStart was finished normally.");
  EndEventThread(stopThread_, "I generated an end event of an KeepAliveStop.",
                 "An KeepAliveStop was finished normally.");
  if (repairThread_.thread.started()) {  // quietly: it is not one of the logged components
    repairThread_.end.Set();
    repairThread_.thread.Join();
  }
  Syslog(kLogDebug, "I generated an end event of an HTTP client.");
  if (httpClient_) {
    if (!httpClient_->StopMessageThread()) {
      Syslog(kLogErr, "CKelControl::OnClose: An error occurred in PostThreadMessage.");
    }
    httpClient_.reset();
  }
  RouterSyncUninstall();
  Syslog(kLogDebug, "An HTTP client was finished normally.");
  Syslog(kLogDebug, "I generated an end event of an command server.");
  if (cmdServer_) {
    if (!cmdServer_->StopMessageThread()) {
      Syslog(kLogErr, "CKelControl::OnClose: An error occurred in PostThreadMessage.");
    }
    cmdServer_.reset();
  }
  Syslog(kLogDebug, "An command server was finished normally.");
  SetActiveReplica(nullptr);
  cluster_.reset();
}
