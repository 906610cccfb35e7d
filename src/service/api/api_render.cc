#include "service/api/api_render.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

template <class Integer>
void AppendInteger(std::string& out, Integer value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// `value`, or null when the API has none to show.
template <class Integer>
void AppendIntegerOrNull(std::string& out, bool none, Integer value) {
  if (none) {
    out += "null";
  } else {
    AppendInteger(out, value);
  }
}

// A sample's value as "%.9g" writes it. Whole numbers below 1e9 (every count and state the API
// shows) are written as integers, which is what "%.9g" gives for them, without printf's cost.
void AppendNumber(std::string& out, double value) {
  if (std::fabs(value) < 1e9 && value == std::trunc(value) &&
      !(value == 0 && std::signbit(value))) {
    AppendInteger(out, static_cast<int64_t>(value));
    return;
  }
  char text[64];
  int n = std::snprintf(text, sizeof text, "%.9g", value);
  out.append(text, static_cast<size_t>(std::clamp(n, 0, int(sizeof text) - 1)));
}

std::string Number(double value) {
  std::string text;
  AppendNumber(text, value);
  return text;
}

// Each router's labels and the space before the value: {router="a.b.c.d",port="N"} .
std::vector<std::string> RouterLabels(const ServiceView& view) {
  std::vector<std::string> labels;
  labels.reserve(view.routers.size());
  for (const RouterView& r : view.routers) {
    labels.push_back("{router=\"" + EscapeLabelValue(r.address) + "\",port=\"" +
                     std::to_string(r.port) + "\"} ");
  }
  return labels;
}

// One metric family: HELP and TYPE, then one sample per router (labels from RouterLabels).
template <class Value>
void RouterFamily(std::string& out, const ServiceView& view, const std::vector<std::string>& labels,
                  const char* name, const char* type, const char* help, Value value) {
  out += std::string("# HELP ") + name + ' ' + help + '\n';
  out += std::string("# TYPE ") + name + ' ' + type + '\n';
  for (size_t i = 0; i < view.routers.size(); ++i) {
    out += name;
    out += labels[i];
    AppendNumber(out, double(value(view.routers[i])));
    out += '\n';
  }
}

void Single(std::string& out, const char* name, const char* type, const char* help, double value) {
  out += std::string("# HELP ") + name + ' ' + help + '\n';
  out += std::string("# TYPE ") + name + ' ' + type + '\n';
  out += std::string(name) + ' ' + Number(value) + '\n';
}

// A JSON string exactly as the json library's dump writes it (invalid UTF-8 replaced):
// printable ASCII other than the quote and the backslash goes as it is, which is what the
// library does with it; any other text is left to the library.
void AppendJsonString(std::string& out, const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
      out += json(text).dump(-1, ' ', false, json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  out += text;
  out += '"';
}

void AppendBool(std::string& out, bool value) { out += value ? "true" : "false"; }

// One router object, written field by field in the order and form the json library gave it
// when it built the object: compact, keys in this order, absent values as null. Building a
// library object per router cost more than the whole rest of /routers.
void AppendRouterJson(std::string& out, const RouterView& r) {
  out += "{\"address\":";
  AppendJsonString(out, r.address);
  out += ",\"port\":";
  AppendInteger(out, r.port);
  out += ",\"user\":";
  AppendJsonString(out, r.user);
  out += ",\"on\":";
  AppendBool(out, r.on);
  out += ",\"pending\":{\"add\":";
  AppendBool(out, r.pendingAdd);
  out += ",\"delete\":";
  AppendBool(out, r.pendingDelete);
  out += "},\"resend_pending\":";
  AppendBool(out, r.resendPending);
  out += ",\"out_of_sync\":";
  AppendBool(out, r.outOfSync);
  out += ",\"requests_waiting\":{\"store\":";
  AppendInteger(out, r.waitingInStore);
  out += ",\"sender\":";
  AppendInteger(out, r.waitingAtSender);
  out += "},\"sender\":";
  AppendIntegerOrNull(out, r.sender < 0, r.sender);
  out += ",\"requests_delivered\":";
  AppendInteger(out, r.delivered);
  out += ",\"attempts_failed\":";
  AppendInteger(out, r.attemptsFailed);
  out += ",\"requests_dropped\":";
  AppendInteger(out, r.dropped);
  out += ",\"last_delivery\":";
  if (r.lastDeliveryTime == 0) {
    out += "null";
  } else {
    out += "{\"time\":";
    AppendInteger(out, r.lastDeliveryTime);
    out += ",\"result\":";
    AppendJsonString(out, r.lastDeliveryResult);
    out += ",\"status\":";
    AppendIntegerOrNull(out, r.lastAnswerStatus == 0, r.lastAnswerStatus);
    out += '}';
  }
  out += ",\"probes\":{\"sent\":";
  AppendInteger(out, r.probesSent);
  out += ",\"answered\":";
  AppendInteger(out, r.probesAnswered);
  out += "},\"last_probe\":";
  if (r.lastProbeTime == 0) {
    out += "null";
  } else {
    out += "{\"time\":";
    AppendInteger(out, r.lastProbeTime);
    out += ",\"answered\":";
    AppendBool(out, r.lastProbeAnswered);
    out += '}';
  }
  out += ",\"transitions\":";
  AppendInteger(out, r.transitions);
  out += ",\"sending\":";
  AppendBool(out, r.sending);
  out += '}';
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
  const std::vector<std::string> labels = RouterLabels(view);
  RouterFamily(out, view, labels, "vokelmng_router_up", "gauge",
               "1 while the router is ON, 0 while OFF.",
               [](const RouterView& r) { return r.on ? 1 : 0; });
  RouterFamily(out, view, labels, "vokelmng_router_resend_pending", "gauge",
               "1 while the router waits for its reset and reload.",
               [](const RouterView& r) { return r.resendPending ? 1 : 0; });
  RouterFamily(out, view, labels, "vokelmng_router_out_of_sync", "gauge",
               "1 while the router may hold other lines than were sent (a request given up, or a "
               "line refused with SYNC=state) until its reset and reload.",
               [](const RouterView& r) { return r.outOfSync ? 1 : 0; });
  RouterFamily(out, view, labels, "vokelmng_router_requests_waiting", "gauge",
               "Requests for the router in the request store and its sender queue.",
               [](const RouterView& r) { return double(r.waitingInStore + r.waitingAtSender); });
  RouterFamily(out, view, labels, "vokelmng_router_requests_delivered_total", "counter",
               "Requests the router answered.",
               [](const RouterView& r) { return double(r.delivered); });
  RouterFamily(out, view, labels, "vokelmng_router_attempts_failed_total", "counter",
               "Delivery attempts that got no answer.",
               [](const RouterView& r) { return double(r.attemptsFailed); });
  RouterFamily(out, view, labels, "vokelmng_router_requests_dropped_total", "counter",
               "Requests given up after the last attempt.",
               [](const RouterView& r) { return double(r.dropped); });
  RouterFamily(out, view, labels, "vokelmng_router_last_answer_status", "gauge",
               "HTTP status of the router's last answer (0 before the first).",
               [](const RouterView& r) { return double(r.lastAnswerStatus); });
  RouterFamily(out, view, labels, "vokelmng_router_probes_sent_total", "counter",
               "Keepalive probes sent to the router.",
               [](const RouterView& r) { return double(r.probesSent); });
  RouterFamily(out, view, labels, "vokelmng_router_probes_answered_total", "counter",
               "Keepalive probes the router answered.",
               [](const RouterView& r) { return double(r.probesAnswered); });
  RouterFamily(out, view, labels, "vokelmng_router_transitions_total", "counter",
               "Changes of the router between ON and OFF.",
               [](const RouterView& r) { return double(r.transitions); });

  if (view.routerTls) {
    RouterFamily(out, view, labels, "vokelmng_router_tls_failures_total", "counter",
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
  std::string out;
  out.reserve(2 + routers.size() * 512);
  out += '[';
  for (size_t i = 0; i < routers.size(); ++i) {
    if (i != 0) out += ',';
    AppendRouterJson(out, routers[i]);
  }
  out += "]\n";
  return out;
}

std::string RenderRouter(const RouterView& router) {
  std::string out;
  AppendRouterJson(out, router);
  out += '\n';
  return out;
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
