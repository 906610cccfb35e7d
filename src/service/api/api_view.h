// What the operator API answers with: plain copies of the service's state, taken at one moment
// by api_collect and turned into text by api_render.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RouterView {
  std::string address;        // dotted
  uint32_t addressValue = 0;  // the same in network order
  uint16_t port = 0;
  std::string user;
  bool on = false;
  bool pendingAdd = false;
  bool pendingDelete = false;
  bool resendPending = false;
  bool outOfSync = false;  // a request given up (or, with SYNC=state, a line refused)
  int64_t waitingInStore = 0;
  int64_t waitingAtSender = 0;
  int sender = -1;  // the sender bound to it; -1: none
  uint64_t delivered = 0;
  uint64_t attemptsFailed = 0;
  uint64_t dropped = 0;
  int lastAnswerStatus = 0;
  int64_t lastDeliveryTime = 0;  // 0: none yet
  std::string lastDeliveryResult;
  uint64_t probesSent = 0;
  uint64_t probesAnswered = 0;
  int64_t lastProbeTime = 0;  // 0: none yet
  bool lastProbeAnswered = false;
  uint64_t transitions = 0;
  bool sending = true;       // false on an instance of a cluster that does not lead
  uint64_t tlsFailures = 0;  // handshakes with the router that failed (routers over TLS)
};

// This instance's place in a cluster (role "standalone" without one).
struct ClusterView {
  bool enabled = false;
  std::string role = "standalone";  // "leader", "follower" or "standalone"
  std::string name;
  std::string leader;  // empty: none known
  int64_t term = 0;
  bool etcdUp = false;
  uint64_t leaderChanges = 0;
};

struct CommandCountView {
  std::string family;
  uint64_t ok = 0;
  uint64_t refused = 0;
};

// The audit trail of the command port.
struct AuditView {
  bool syslog = false;
  std::string file;  // empty: no file
  bool fileOk = false;
  uint64_t records = 0;
  uint64_t failures = 0;  // records the file did not take
};

struct ServiceView {
  std::string version;
  int64_t uptimeSeconds = 0;
  bool controllerStarted = false;
  bool commandPortListening = false;
  std::vector<RouterView> routers;  // registry order
  std::vector<CommandCountView> commands;
  int64_t commandConnections = 0;
  uint64_t commandConnectionsRefused = 0;
  int64_t requestStoreSize = 0;
  uint64_t planningRuns = 0;
  double planningSeconds = 0;
  std::string syncMode = "edits";  // [ACL] SYNC: "edits" or "state"
  std::string entryStore = "off";  // [KEL] STORE: "off", "ok" or "failing"
  ClusterView cluster;
  AuditView audit;
  bool routerTls = false;          // [HTTP] TLS=enable: the TLS counts below are shown
  uint64_t tlsFullHandshakes = 0;  // of every router together
  uint64_t tlsResumedHandshakes = 0;
};

struct LineView {
  std::string klass;  // "client" or "quarantine"
  std::string text;
  int copies = 0;
};
