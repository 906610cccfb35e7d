#include "service/api/api_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>
#include <string_view>

#include "common/address_util.h"
#include "common/syslog.h"
#include "platform/thread.h"
#include "service/api/api_render.h"
#include "service/api/embedded_file.h"

namespace {

constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kJson[] = "application/json";
constexpr char kRoutersPrefix[] = "/routers/";
constexpr char kLinesSuffix[] = "/lines";

// Every answer: the dashboard's page may load only what this server serves (no inline script
// or style, nothing from elsewhere), and no answer is read as another type than it says.
constexpr std::pair<const char*, const char*> kEveryAnswer[] = {
    {"Content-Security-Policy", "default-src 'self'"},
    {"X-Content-Type-Options", "nosniff"},
};

// The dashboard's file served at `path` ("/" is its page), or null.
const EmbeddedFile* DashboardFile(const std::string& path) {
  if (path.empty() || path[0] != '/') return nullptr;
  std::string_view name = path == "/" ? "index.html" : std::string_view(path).substr(1);
  for (size_t i = 0; i < kDashboardFilesCount; ++i) {
    if (name == kDashboardFiles[i].name) return &kDashboardFiles[i];
  }
  return nullptr;
}

const char* DashboardType(std::string_view name) {
  auto ends = [&](std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

CKelApiServer::Answer Plain(unsigned status, const char* body) { return {status, kText, body}; }

bool EndsWith(const std::string& text, const char* suffix) {
  size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

MHD_Result Send(MHD_Connection* connection, const CKelApiServer::Answer& answer,
                bool methodRefused) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  for (const auto& [name, value] : answer.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  if (methodRefused) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  MHD_Result queued = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload_data*/,
                     size_t* /*upload_data_size*/, void** /*request_state*/) {
  auto* server = static_cast<CKelApiServer*>(cls);
  CKelApiServer::Answer answer = server->Handle(method, url);
  return Send(connection, answer, answer.status == MHD_HTTP_METHOD_NOT_ALLOWED);
}

// The server's thread gives way to the other threads of the service: it runs at nice 19, so a
// command-port, sender or prober thread that wakes gets the processor first, while clients that
// scrape in a loop keep only what is left. It is not put under SCHED_IDLE: that class waits
// for an idle processor, and any busy process on the machine would then starve the health
// checks and scrapes that tell operators the service is alive. Set on that thread itself,
// before it serves its first connection.
void GiveWay() {
  thread_local bool lowered = false;
  if (lowered) return;
  lowered = true;
  if (!platform::SetCurrentThreadPriority(platform::ThreadPriority::kBackground)) {
    Syslog(kLogWarning, "I failed in setting of the status API's thread priority.");
  }
}

// Past the limit a connection is closed as soon as it is accepted. (The library's own limit
// would stop accepting instead and leave later clients waiting in the listen backlog.)
MHD_Result OnAccept(void* cls, const sockaddr* /*addr*/, socklen_t /*addrlen*/) {
  GiveWay();
  return static_cast<CKelApiServer*>(cls)->Admit() ? MHD_YES : MHD_NO;
}

void OnConnection(void* cls, MHD_Connection* /*connection*/, void** /*socket_context*/,
                  MHD_ConnectionNotificationCode code) {
  auto* server = static_cast<CKelApiServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) server->Opened();
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) server->Closed();
}

}  // namespace

CKelApiServer::CKelApiServer(ApiSources sources) : sources_(std::move(sources)) {}

CKelApiServer::~CKelApiServer() { Stop(); }

bool CKelApiServer::Start(const ApiListen& listen) {
  if (daemon_ != nullptr || !listen.enabled) return false;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = listen.address;
  where.sin_port = htons(listen.port);
  stopping_.store(0);
  open_.store(0);
  // The library's limit stays above ours, so that it never stops accepting.
  daemon_ = MHD_start_daemon(
      MHD_USE_POLL_INTERNAL_THREAD, listen.port, &OnAccept, this, &OnRequest, this,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&where), MHD_OPTION_CONNECTION_LIMIT,
      kConnectionLimit + 1, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressLimit,
      MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, this, MHD_OPTION_CONNECTION_TIMEOUT,
      kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestHeadLimit,
      MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    Syslog(kLogErr, "I failed in start of the status API on %s.", listen.text.c_str());
    return false;
  }
  Syslog(kLogInfo, "The status API listens on %s.", listen.text.c_str());
  return true;
}

void CKelApiServer::Stop() {
  if (daemon_ == nullptr) return;
  stopping_.store(1);  // a dry run in progress ends at its next element
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

CKelApiServer::Answer CKelApiServer::Handle(const std::string& method, const std::string& path) {
  Answer answer = Route(method, path);
  for (const auto& [name, value] : kEveryAnswer) answer.headers.emplace_back(name, value);
  return answer;
}

CKelApiServer::Answer CKelApiServer::Route(const std::string& method, const std::string& path) {
  if (method != "GET" && method != "HEAD") return Plain(405, "method not allowed\n");
  if (const EmbeddedFile* file = DashboardFile(path)) {
    return {200, DashboardType(file->name), std::string(file->Text())};
  }
  if (path == "/metrics") return {200, kMetricsType, RenderMetrics(CollectService(sources_))};
  if (path == "/healthz") {
    ServiceView view = CollectService(sources_);
    if (view.cluster.enabled && !view.cluster.etcdUp) return Plain(503, "etcd unreachable\n");
    if (view.controllerStarted && view.commandPortListening) return Plain(200, "ok\n");
    return Plain(503, "not ready\n");
  }
  if (path == "/status") return {200, kJson, RenderStatus(CollectService(sources_))};
  if (path == "/routers" || path == "/routers/") {
    return {200, kJson, RenderRouters(CollectService(sources_).routers)};
  }
  if (path.compare(0, std::strlen(kRoutersPrefix), kRoutersPrefix) != 0) {
    return Plain(404, "not found\n");
  }
  std::string rest = path.substr(std::strlen(kRoutersPrefix));
  bool lines = EndsWith(rest, kLinesSuffix);
  if (lines) rest.resize(rest.size() - std::strlen(kLinesSuffix));
  std::array<uint8_t, 4> address{};
  if (rest.empty() || rest.find('/') != std::string::npos) return Plain(404, "not found\n");
  if (IsIpAddress(rest.c_str(), address.data()) != 1) return Plain(400, "bad router address\n");
  if (!lines) {
    std::optional<RouterView> router = CollectRouter(sources_, address);
    if (!router) return Plain(404, "no such router\n");
    return {200, kJson, RenderRouter(*router)};
  }
  bool complete = false;
  std::optional<std::vector<LineView>> found = CollectLines(address, &stopping_, &complete);
  if (!found) return Plain(404, "no such router\n");
  if (!complete) return Plain(503, "stopping\n");
  return {200, kJson, RenderLines(*found)};
}
