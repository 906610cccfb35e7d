#include "service/cluster/etcd_client.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kConnectLimitMs = 2000;  // one endpoint's connect, within the call's time-out
constexpr int kPollMs = 100;           // how often a watch looks at its stop flag and deadline

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t AppendTo(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The gateway writes 64-bit numbers as strings; accepts numbers too.
int64_t Int(const json& object, const char* name) {
  if (!object.is_object()) return 0;
  auto it = object.find(name);
  if (it == object.end()) return 0;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_string()) {
    try {
      return std::stoll(it->get<std::string>());
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

std::string Bytes(const json& object, const char* name) {
  std::string out;
  auto it = object.find(name);
  if (it != object.end() && it->is_string()) EtcdBase64Decode(it->get<std::string>(), &out);
  return out;
}

EtcdKeyValue ParseKeyValue(const json& kv) {
  EtcdKeyValue out;
  if (!kv.is_object()) return out;
  out.key = Bytes(kv, "key");
  out.value = Bytes(kv, "value");
  out.createRevision = Int(kv, "create_revision");
  out.modRevision = Int(kv, "mod_revision");
  out.version = Int(kv, "version");
  out.lease = Int(kv, "lease");
  return out;
}

void AppendKeyValues(const json& answer, std::vector<EtcdKeyValue>* out) {
  auto kvs = answer.find("kvs");
  if (kvs == answer.end() || !kvs->is_array()) return;
  for (const json& kv : *kvs) out->push_back(ParseKeyValue(kv));
}

json RangeJson(const std::string& key, const std::string& rangeEnd) {
  json body = {{"key", EtcdBase64Encode(key)}};
  if (!rangeEnd.empty()) body["range_end"] = EtcdBase64Encode(rangeEnd);
  return body;
}

json PutJson(const std::string& key, const std::string& value, int64_t lease) {
  json body = {{"key", EtcdBase64Encode(key)}, {"value", EtcdBase64Encode(value)}};
  if (lease != 0) body["lease"] = lease;
  return body;
}

json OpJson(const EtcdOp& op) {
  switch (op.kind) {
    case EtcdOp::kPut:
      return {{"request_put", PutJson(op.key, op.value, op.lease)}};
    case EtcdOp::kDelete:
      return {{"request_delete_range", RangeJson(op.key, op.rangeEnd)}};
    case EtcdOp::kRange:
      break;
  }
  return {{"request_range", RangeJson(op.key, op.rangeEnd)}};
}

json CompareJson(const EtcdCompare& compare) {
  static const char* const kTargets[] = {"CREATE", "MOD", "VERSION", "VALUE"};
  static const char* const kResults[] = {"EQUAL", "GREATER", "LESS", "NOT_EQUAL"};
  json body = {{"key", EtcdBase64Encode(compare.key)},
               {"target", kTargets[compare.target]},
               {"result", kResults[compare.result]}};
  if (!compare.rangeEnd.empty()) body["range_end"] = EtcdBase64Encode(compare.rangeEnd);
  switch (compare.target) {
    case EtcdCompare::kCreateRevision:
      body["create_revision"] = compare.number;
      break;
    case EtcdCompare::kModRevision:
      body["mod_revision"] = compare.number;
      break;
    case EtcdCompare::kVersion:
      body["version"] = compare.number;
      break;
    case EtcdCompare::kValue:
      body["value"] = EtcdBase64Encode(compare.value);
      break;
  }
  return body;
}

// The reason an error answer gives: {"error": "...", "message": "..."} from a unary call,
// {"error": {"message": "..."}} from a streamed one.
std::string ErrorText(const json& answer) {
  if (!answer.is_object()) return "";
  if (auto it = answer.find("message"); it != answer.end() && it->is_string()) return *it;
  if (auto it = answer.find("error"); it != answer.end()) {
    if (it->is_string()) return *it;
    if (it->is_object()) return ErrorText(*it);
  }
  return "";
}

// The first JSON object of an answer (a streamed answer holds one per line).
bool ParseFirst(const std::string& text, json* out) {
  std::string first = text.substr(0, text.find('\n'));
  *out = json::parse(first, nullptr, false);
  return !out->is_discarded() && out->is_object();
}

void ApplyCommon(CURL* curl, const EtcdSettings& settings, curl_slist* headers) {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  if (!settings.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
  if (!settings.certFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSLCERT, settings.certFile.c_str());
  }
  if (!settings.keyFile.empty()) curl_easy_setopt(curl, CURLOPT_SSLKEY, settings.keyFile.c_str());
}

// Ends a transfer once the client was aborted (libcurl asks at least once a second).
int AbortCheck(void* aborted, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(aborted)->load() ? 1 : 0;
}

curl_slist* JsonHeaders() { return curl_slist_append(nullptr, "Content-Type: application/json"); }

long MsLeft(Clock::time_point deadline) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

std::string EtcdPrefixEnd(const std::string& prefix) {
  std::string end = prefix;
  while (!end.empty()) {
    unsigned char last = static_cast<unsigned char>(end.back());
    if (last < 0xff) {
      end.back() = static_cast<char>(last + 1);
      return end;
    }
    end.pop_back();
  }
  return std::string(1, '\0');  // every key
}

std::string EtcdBase64Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool EtcdBase64Decode(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  if (text.empty()) return true;
  std::string out(3 * text.size() / 4 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  out.resize(static_cast<size_t>(n) - padding);
  *bytes = std::move(out);
  return true;
}

EtcdCompare EtcdCompare::Absent(const std::string& key) {
  EtcdCompare c;
  c.key = key;
  c.target = kCreateRevision;
  c.number = 0;
  return c;
}

EtcdCompare EtcdCompare::NoneWithPrefix(const std::string& prefix) {
  EtcdCompare c = Absent(prefix);
  c.rangeEnd = EtcdPrefixEnd(prefix);
  return c;
}

EtcdCompare EtcdCompare::ModRevisionIs(const std::string& key, int64_t modRevision) {
  EtcdCompare c;
  c.key = key;
  c.target = kModRevision;
  c.number = modRevision;
  return c;
}

EtcdCompare EtcdCompare::ValueIs(const std::string& key, const std::string& value) {
  EtcdCompare c;
  c.key = key;
  c.target = kValue;
  c.value = value;
  return c;
}

EtcdOp EtcdOp::Put(const std::string& key, const std::string& value, int64_t lease) {
  EtcdOp op;
  op.kind = kPut;
  op.key = key;
  op.value = value;
  op.lease = lease;
  return op;
}

EtcdOp EtcdOp::Delete(const std::string& key, const std::string& rangeEnd) {
  EtcdOp op;
  op.kind = kDelete;
  op.key = key;
  op.rangeEnd = rangeEnd;
  return op;
}

EtcdOp EtcdOp::Get(const std::string& key, const std::string& rangeEnd) {
  EtcdOp op;
  op.kind = kRange;
  op.key = key;
  op.rangeEnd = rangeEnd;
  return op;
}

EtcdClient::EtcdClient(EtcdSettings settings) : settings_(std::move(settings)) { InitCurlOnce(); }

EtcdClient::~EtcdClient() {
  for (void* handle : pool_) curl_easy_cleanup(static_cast<CURL*>(handle));
}

void* EtcdClient::TakeHandle() {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!pool_.empty()) {
      void* handle = pool_.back();
      pool_.pop_back();
      return handle;
    }
  }
  return curl_easy_init();
}

void EtcdClient::GiveBack(void* handle) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  pool_.push_back(handle);
}

EtcdStatus EtcdClient::Call(const char* path, const std::string& body, bool readOnly,
                            void* json_out, int timeoutMs) {
  json& reply = *static_cast<json*>(json_out);
  EtcdStatus status;
  if (aborted_.load()) {
    status.error = "the client was stopped";
    return status;
  }
  const size_t count = settings_.endpoints.size();
  if (count == 0) {
    status.error = "no etcd endpoint";
    return status;
  }
  CURL* curl = static_cast<CURL*>(TakeHandle());
  if (curl == nullptr) {
    status.error = "curl_easy_init failed";
    return status;
  }
  curl_slist* headers = JsonHeaders();
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : settings_.timeoutMs);
  const size_t first = preferred_.load() % count;
  std::string error;
  bool curlTimedOut = false;  // the last attempt ended on curl's own time-out
  for (size_t i = 0; i < count; ++i) {
    long left = MsLeft(deadline);
    if (left <= 0) break;
    const size_t index = (first + i) % count;
    const std::string& endpoint = settings_.endpoints[index];
    const std::string url = endpoint + path;
    std::string answer;
    curl_easy_reset(curl);  // keeps the open connections
    ApplyCommon(curl, settings_, headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendTo);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, left);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min<long>(left, kConnectLimitMs));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, AbortCheck);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &aborted_);
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_ABORTED_BY_CALLBACK) {
      error = "the client was stopped";
      break;
    }
    if (rc != CURLE_OK) {
      error = endpoint + ": " + curl_easy_strerror(rc);
      curlTimedOut = rc == CURLE_OPERATION_TIMEDOUT;
      long sent = 0;
      curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &sent);
      if (sent == 0 || readOnly) continue;  // not applied, or harmless to repeat
      break;
    }
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    json parsed;
    if (!ParseFirst(answer, &parsed)) {
      error = endpoint + ": HTTP " + std::to_string(code) + " without a JSON answer";
      break;
    }
    std::string reason = ErrorText(parsed);
    if (code != 200 || parsed.contains("error")) {
      error = endpoint + ": " + (reason.empty() ? "HTTP " + std::to_string(code) : reason);
      // A member without a leader applied nothing: another may have one. A refused request
      // (4xx) would be refused by every member.
      if ((readOnly && code >= 500) || reason.find("no leader") != std::string::npos) continue;
      break;
    }
    auto result = parsed.find("result");
    reply = result != parsed.end() ? *result : parsed;
    preferred_.store(index);
    status.ok = true;
    status.revision = Int(reply.value("header", json::object()), "revision");
    break;
  }
  curl_slist_free_all(headers);
  GiveBack(curl);
  if (!status.ok) {
    status.error = error.empty() ? "timed out" : error;
    if (!error.empty() && !curlTimedOut && MsLeft(deadline) <= 0) {
      status.error += " (time-out reached)";
    }
  }
  return status;
}

EtcdRangeResult EtcdClient::Range(const std::string& key, const std::string& rangeEnd) {
  json reply;
  EtcdRangeResult out;
  static_cast<EtcdStatus&>(out) =
      Call("/v3/kv/range", RangeJson(key, rangeEnd).dump(), true, &reply);
  if (out.ok) AppendKeyValues(reply, &out.kvs);
  return out;
}

EtcdStatus EtcdClient::Put(const std::string& key, const std::string& value, int64_t lease) {
  json reply;
  return Call("/v3/kv/put", PutJson(key, value, lease).dump(), false, &reply);
}

EtcdDeleteResult EtcdClient::DeleteRange(const std::string& key, const std::string& rangeEnd,
                                         int timeoutMs) {
  json reply;
  EtcdDeleteResult out;
  static_cast<EtcdStatus&>(out) =
      Call("/v3/kv/deleterange", RangeJson(key, rangeEnd).dump(), false, &reply, timeoutMs);
  if (out.ok) out.deleted = Int(reply, "deleted");
  return out;
}

EtcdTxnResult EtcdClient::Txn(const std::vector<EtcdCompare>& compares,
                              const std::vector<EtcdOp>& success,
                              const std::vector<EtcdOp>& failure, int timeoutMs) {
  json body = {{"compare", json::array()}, {"success", json::array()}, {"failure", json::array()}};
  for (const EtcdCompare& c : compares) body["compare"].push_back(CompareJson(c));
  for (const EtcdOp& op : success) body["success"].push_back(OpJson(op));
  for (const EtcdOp& op : failure) body["failure"].push_back(OpJson(op));
  json reply;
  EtcdTxnResult out;
  static_cast<EtcdStatus&>(out) = Call("/v3/kv/txn", body.dump(), false, &reply, timeoutMs);
  if (!out.ok) return out;
  out.succeeded = reply.value("succeeded", false);
  auto responses = reply.find("responses");
  if (responses != reply.end() && responses->is_array()) {
    for (const json& response : *responses) {
      auto range = response.find("response_range");
      if (range != response.end()) AppendKeyValues(*range, &out.kvs);
    }
  }
  return out;
}

EtcdStatus EtcdClient::Compact(int64_t revision) {
  json reply;
  return Call("/v3/kv/compaction", json{{"revision", revision}}.dump(), false, &reply);
}

EtcdMemberStatus EtcdClient::Status() {
  json reply;
  EtcdMemberStatus out;
  static_cast<EtcdStatus&>(out) = Call("/v3/maintenance/status", "{}", true, &reply);
  if (!out.ok) return out;
  // Member IDs are unsigned 64-bit: read them as text, not through int64_t.
  auto id = [](const json& object, const char* name) -> uint64_t {
    auto it = object.find(name);
    if (it == object.end()) return 0;
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    if (!it->is_string()) return 0;
    try {
      return std::stoull(it->get<std::string>());
    } catch (const std::exception&) {
      return 0;
    }
  };
  out.memberId = id(reply.value("header", json::object()), "member_id");
  out.leader = id(reply, "leader");
  out.raftTerm = id(reply, "raftTerm");
  return out;
}

EtcdLeaseResult EtcdClient::LeaseGrant(int64_t ttl) {
  json reply;
  EtcdLeaseResult out;
  static_cast<EtcdStatus&>(out) =
      Call("/v3/lease/grant", json{{"TTL", ttl}, {"ID", 0}}.dump(), false, &reply);
  if (!out.ok) return out;
  out.id = Int(reply, "ID");
  out.ttl = Int(reply, "TTL");
  if (out.id == 0) {
    out.ok = false;
    out.error = "lease grant without an ID";
  }
  return out;
}

EtcdLeaseResult EtcdClient::LeaseKeepAliveOnce(int64_t id) {
  json reply;
  EtcdLeaseResult out;
  // Renewing twice is harmless, so it may be retried like a read.
  static_cast<EtcdStatus&>(out) =
      Call("/v3/lease/keepalive", json{{"ID", id}}.dump(), true, &reply);
  if (!out.ok) return out;
  out.id = id;
  out.ttl = Int(reply, "TTL");
  if (out.ttl <= 0) {
    out.ok = false;
    out.ttl = 0;
    out.error = "lease expired";
  }
  return out;
}

EtcdStatus EtcdClient::LeaseRevoke(int64_t id) {
  json reply;
  return Call("/v3/lease/revoke", json{{"ID", id}}.dump(), false, &reply);
}

// ---------------------------------------------------------------------------------------------

EtcdWatch::EtcdWatch(EtcdSettings settings, std::string prefix, int64_t startRevision,
                     EventHandler onEvent, CompactedHandler onCompacted,
                     RevisionHandler onRevisionDone)
    : settings_(std::move(settings)),
      prefix_(std::move(prefix)),
      onEvent_(std::move(onEvent)),
      onCompacted_(std::move(onCompacted)),
      onRevisionDone_(std::move(onRevisionDone)),
      nextRevision_(startRevision) {
  InitCurlOnce();
  multi_ = curl_multi_init();
  thread_ = std::thread([this] { Run(); });
}

EtcdWatch::~EtcdWatch() {
  Stop();
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void EtcdWatch::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  wake_.notify_all();
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::string EtcdWatch::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

void EtcdWatch::Run() {
  const size_t count = settings_.endpoints.size();
  if (count == 0 || multi_ == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = count == 0 ? "no etcd endpoint" : "curl_multi_init failed";
    return;
  }
  size_t index = 0;
  int pauseMs = 50;
  while (!stop_.load()) {
    created_ = false;
    bool compacted = false;
    std::string why = Stream(settings_.endpoints[index % count]);
    if (stop_.load()) break;
    compacted = why.rfind("compacted", 0) == 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastError_ = settings_.endpoints[index % count] + ": " + why;
    }
    if (!compacted) ++index;  // a broken stream: the next member
    pauseMs = created_ ? 50 : std::min(pauseMs * 2, 1000);
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(pauseMs), [this] { return stop_.load(); });
  }
}

namespace {

struct StreamState {
  std::string buffer;
  std::string error;
  std::atomic<bool>* stop;
  std::function<void(const std::string&, std::string*)> deliver;
};

size_t StreamWrite(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<StreamState*>(user);
  if (state->stop->load()) return 0;
  state->buffer.append(data, size * count);
  size_t end;
  while ((end = state->buffer.find('\n')) != std::string::npos) {
    std::string line = state->buffer.substr(0, end);
    state->buffer.erase(0, end + 1);
    if (line.find_first_not_of(" \r\t") == std::string::npos) continue;
    state->deliver(line, &state->error);
    if (!state->error.empty()) return 0;  // ends the stream
  }
  return size * count;
}

}  // namespace

std::string EtcdWatch::Stream(const std::string& endpoint) {
  CURLM* multi = static_cast<CURLM*>(multi_);
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return "curl_easy_init failed";
  json create = {{"key", EtcdBase64Encode(prefix_)},
                 {"range_end", EtcdBase64Encode(EtcdPrefixEnd(prefix_))},
                 {"start_revision", nextRevision_.load()}};
  const std::string body = json{{"create_request", create}}.dump();
  const std::string url = endpoint + "/v3/watch";
  StreamState state{"", "", &stop_, nullptr};
  state.deliver = [this](const std::string& line, std::string* error) { Deliver(line, error); };
  curl_slist* headers = JsonHeaders();
  ApplyCommon(curl, settings_, headers);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StreamWrite);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.timeoutMs));
  // A member that vanished without closing the connection is noticed by TCP keep-alive.
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, 5L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, 2L);
  curl_multi_add_handle(multi, curl);

  // Until the member accepts the watch, the call's time-out bounds the wait.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings_.timeoutMs);
  std::string why;
  while (!stop_.load()) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    bool done = false;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      done = true;
      CURLcode rc = message->data.result;
      if (!state.error.empty()) {
        why = state.error;
      } else if (rc != CURLE_OK) {
        why = curl_easy_strerror(rc);
      } else {
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        std::string rest;
        if (!state.buffer.empty()) Deliver(state.buffer, &rest);
        why = !rest.empty() ? rest : "stream ended (HTTP " + std::to_string(code) + ")";
      }
    }
    if (done || running == 0) {
      if (why.empty()) why = "stream ended";
      break;
    }
    if (!created_ && Clock::now() >= deadline) {
      why = "no answer to the watch request";
      break;
    }
    curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
  }
  curl_multi_remove_handle(multi, curl);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return why;
}

void EtcdWatch::Deliver(const std::string& line, std::string* error) {
  json parsed = json::parse(line, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    *error = "not a JSON watch answer";
    return;
  }
  if (parsed.contains("error")) {
    std::string reason = ErrorText(parsed);
    *error = reason.empty() ? "watch error" : reason;
    return;
  }
  const json& result = parsed.contains("result") ? parsed["result"] : parsed;
  int64_t compactRevision = Int(result, "compact_revision");
  if (compactRevision > 0) {
    // The member cancels the watch: everything before compactRevision is gone.
    nextRevision_.store(compactRevision);
    if (onCompacted_) onCompacted_(compactRevision);
    *error = "compacted at revision " + std::to_string(compactRevision);
    return;
  }
  if (result.value("canceled", false)) {
    std::string reason = result.value("cancel_reason", std::string());
    *error = "watch canceled" + (reason.empty() ? std::string() : ": " + reason);
    return;
  }
  if (result.value("created", false) && !created_) {
    created_ = true;
    connections_.fetch_add(1);
    // A watch "from now" pins now, so a reconnection misses nothing after it.
    if (nextRevision_.load() <= 0) {
      nextRevision_.store(Int(result.value("header", json::object()), "revision") + 1);
    }
  }
  auto events = result.find("events");
  if (events == result.end() || !events->is_array()) return;
  // The events of one revision (a Txn's) arrive in one answer, so the next stream starts
  // after the last revision delivered.
  const int64_t from = nextRevision_.load();
  int64_t last = 0;
  for (const json& raw : *events) {
    EtcdEvent event;
    event.type =
        raw.value("type", std::string()) == "DELETE" ? EtcdEvent::kDelete : EtcdEvent::kPut;
    event.kv = ParseKeyValue(raw.value("kv", json::object()));
    if (event.kv.modRevision < from) continue;  // already delivered
    onEvent_(event);
    last = std::max(last, event.kv.modRevision);
    nextRevision_.store(std::max(nextRevision_.load(), event.kv.modRevision + 1));
  }
  if (last != 0 && onRevisionDone_) onRevisionDone_(last);
}
