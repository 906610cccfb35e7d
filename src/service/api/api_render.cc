#include "service/api/api_render.h"

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

// One metric family: HELP and TYPE, then one sample per router.
void RouterFamily(std::string& out, const ServiceView& view, const char* name, const char* type,
                  const char* help, const std::function<double(const RouterView&)>& value) {
  out += std::string("# HELP ") + name + ' ' + help + '\n';
  out += std::string("# TYPE ") + name + ' ' + type + '\n';
  for (const RouterView& r : view.routers) {
    out += name;
    out += "{router=\"" + EscapeLabelValue(r.address) + "\",port=\"" + std::to_string(r.port) +
           "\"} " + Number(value(r)) + '\n';
  }
}

void Single(std::string& out, const char* name, const char* type, const char* help, double value) {
  out += std::string("# HELP ") + name + ' ' + help + '\n';
  out += std::string("# TYPE ") + name + ' ' + type + '\n';
  out += std::string(name) + ' ' + Number(value) + '\n';
}

json RouterJson(const RouterView& r) {
  json delivery = nullptr;
  if (r.lastDeliveryTime != 0) {
    delivery = {{"time", r.lastDeliveryTime},
                {"result", r.lastDeliveryResult},
                {"status", r.lastAnswerStatus == 0 ? json(nullptr) : json(r.lastAnswerStatus)}};
  }
  json probe = nullptr;
  if (r.lastProbeTime != 0) {
    probe = {{"time", r.lastProbeTime}, {"answered", r.lastProbeAnswered}};
  }
  return {{"address", r.address},
          {"port", r.port},
          {"user", r.user},
          {"on", r.on},
          {"pending", {{"add", r.pendingAdd}, {"delete", r.pendingDelete}}},
          {"resend_pending", r.resendPending},
          {"out_of_sync", r.outOfSync},
          {"requests_waiting", {{"store", r.waitingInStore}, {"sender", r.waitingAtSender}}},
          {"sender", r.sender < 0 ? json(nullptr) : json(r.sender)},
          {"requests_delivered", r.delivered},
          {"attempts_failed", r.attemptsFailed},
          {"requests_dropped", r.dropped},
          {"last_delivery", delivery},
          {"probes", {{"sent", r.probesSent}, {"answered", r.probesAnswered}}},
          {"last_probe", probe},
          {"transitions", r.transitions},
          {"sending", r.sending}};
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string RenderMetrics(const ServiceView& view) {
  std::string out;
  out.reserve(256 + view.routers.size() * 1200);
  RouterFamily(out, view, "vokelmng_router_up", "gauge", "1 while the router is ON, 0 while OFF.",
               [](const RouterView& r) { return r.on ? 1 : 0; });
  RouterFamily(out, view, "vokelmng_router_resend_pending", "gauge",
               "1 while the router waits for its reset and reload.",
               [](const RouterView& r) { return r.resendPending ? 1 : 0; });
  RouterFamily(out, view, "vokelmng_router_out_of_sync", "gauge",
               "1 while the router may hold other lines than were sent (a request given up, or a "
               "line refused with SYNC=state) until its reset and reload.",
               [](const RouterView& r) { return r.outOfSync ? 1 : 0; });
  RouterFamily(out, view, "vokelmng_router_requests_waiting", "gauge",
               "Requests for the router in the request store and its sender queue.",
               [](const RouterView& r) { return double(r.waitingInStore + r.waitingAtSender); });
  RouterFamily(out, view, "vokelmng_router_requests_delivered_total", "counter",
               "Requests the router answered.",
               [](const RouterView& r) { return double(r.delivered); });
  RouterFamily(out, view, "vokelmng_router_attempts_failed_total", "counter",
               "Delivery attempts that got no answer.",
               [](const RouterView& r) { return double(r.attemptsFailed); });
  RouterFamily(out, view, "vokelmng_router_requests_dropped_total", "counter",
               "Requests given up after the last attempt.",
               [](const RouterView& r) { return double(r.dropped); });
  RouterFamily(out, view, "vokelmng_router_last_answer_status", "gauge",
               "HTTP status of the router's last answer (0 before the first).",
               [](const RouterView& r) { return double(r.lastAnswerStatus); });
  RouterFamily(out, view, "vokelmng_router_probes_sent_total", "counter",
               "Keepalive probes sent to the router.",
               [](const RouterView& r) { return double(r.probesSent); });
  RouterFamily(out, view, "vokelmng_router_probes_answered_total", "counter",
               "Keepalive probes the router answered.",
               [](const RouterView& r) { return double(r.probesAnswered); });
  RouterFamily(out, view, "vokelmng_router_transitions_total", "counter",
               "Changes of the router between ON and OFF.",
               [](const RouterView& r) { return double(r.transitions); });

  if (view.routerTls) {
    RouterFamily(out, view, "vokelmng_router_tls_failures_total", "counter",
                 "TLS handshakes with the router that failed (its certificate, say).",
                 [](const RouterView& r) { return double(r.tlsFailures); });
    out +=
        "# HELP vokelmng_router_tls_handshakes_total TLS handshakes with the routers: full "
        "ones and ones that resumed a session.\n";
    out += "# TYPE vokelmng_router_tls_handshakes_total counter\n";
    out += "vokelmng_router_tls_handshakes_total{kind=\"full\"} " +
           std::to_string(view.tlsFullHandshakes) + '\n';
    out += "vokelmng_router_tls_handshakes_total{kind=\"resumed\"} " +
           std::to_string(view.tlsResumedHandshakes) + '\n';
  }

  out += "# HELP vokelmng_commands_total Command lines run on the command port.\n";
  out += "# TYPE vokelmng_commands_total counter\n";
  for (const CommandCountView& c : view.commands) {
    const std::string family = EscapeLabelValue(c.family);
    out += "vokelmng_commands_total{family=\"" + family + "\",result=\"ok\"} " +
           std::to_string(c.ok) + '\n';
    out += "vokelmng_commands_total{family=\"" + family + "\",result=\"refused\"} " +
           std::to_string(c.refused) + '\n';
  }
  Single(out, "vokelmng_command_connections", "gauge", "Command port connections open.",
         double(view.commandConnections));
  Single(out, "vokelmng_command_connections_refused_total", "counter",
         "Command port connections closed at once (remote rule or no free slot).",
         double(view.commandConnectionsRefused));
  Single(out, "vokelmng_request_store_size", "gauge",
         "Requests waiting in the store for a free sender.", double(view.requestStoreSize));
  Single(out, "vokelmng_planning_runs_total", "counter",
         "Access-list planning runs after registry changes.", double(view.planningRuns));
  Single(out, "vokelmng_planning_seconds_total", "counter",
         "Time spent in access-list planning runs.", view.planningSeconds);
  out += "# HELP vokelmng_kel_store_state The access entry store: 1 for its present state.\n";
  out += "# TYPE vokelmng_kel_store_state gauge\n";
  for (const char* state : {"off", "ok", "failing"}) {
    out += std::string("vokelmng_kel_store_state{state=\"") + state + "\"} " +
           (view.entryStore == state ? "1" : "0") + '\n';
  }
  if (view.cluster.enabled) {
    Single(out, "vokelmng_cluster_leader", "gauge", "1 while this instance leads the cluster.",
           view.cluster.role == "leader" ? 1 : 0);
    Single(out, "vokelmng_cluster_etcd_up", "gauge", "1 while etcd answers this instance.",
           view.cluster.etcdUp ? 1 : 0);
    Single(out, "vokelmng_cluster_leader_changes_total", "counter",
           "Times this instance became the leader.", double(view.cluster.leaderChanges));
  }
  out += "# HELP vokelmng_build_info The running version.\n";
  out += "# TYPE vokelmng_build_info gauge\n";
  out += "vokelmng_build_info{version=\"" + EscapeLabelValue(view.version) + "\"} 1\n";
  return out;
}

std::string RenderRouters(const std::vector<RouterView>& routers) {
  json all = json::array();
  for (const RouterView& r : routers) all.push_back(RouterJson(r));
  return all.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

std::string RenderRouter(const RouterView& router) {
  return RouterJson(router).dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

std::string RenderLines(const std::vector<LineView>& lines) {
  json all = json::array();
  for (const LineView& l : lines) {
    all.push_back({{"class", l.klass}, {"line", l.text}, {"copies", l.copies}});
  }
  return all.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

std::string RenderStatus(const ServiceView& view) {
  int64_t on = 0;
  int64_t outOfSync = 0;
  for (const RouterView& r : view.routers) {
    on += r.on ? 1 : 0;
    outOfSync += r.outOfSync ? 1 : 0;
  }
  json status = {
      {"version", view.version},
      {"uptime_seconds", view.uptimeSeconds},
      {"controller_started", view.controllerStarted},
      {"command_port_listening", view.commandPortListening},
      {"routers",
       {{"on", on}, {"off", int64_t(view.routers.size()) - on}, {"out_of_sync", outOfSync}}},
      {"request_store_size", view.requestStoreSize},
      {"sync_mode", view.syncMode},
      {"access_entry_store", view.entryStore},
      {"cluster",
       {{"role", view.cluster.role},
        {"name", view.cluster.name},
        {"leader", view.cluster.leader.empty() ? json(nullptr) : json(view.cluster.leader)},
        {"term", view.cluster.term},
        {"etcd",
         view.cluster.enabled ? json(view.cluster.etcdUp ? "ok" : "unreachable") : json(nullptr)}}},
      {"audit",
       {{"syslog", view.audit.syslog},
        {"file", view.audit.file.empty() ? json(nullptr) : json(view.audit.file)},
        {"file_ok", view.audit.file.empty() ? json(nullptr) : json(view.audit.fileOk)},
        {"records", view.audit.records},
        {"failures", view.audit.failures}}}};
  return status.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}
