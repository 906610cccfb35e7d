#include "cluster_site.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "deadline.h"
#include "http_get.h"

namespace cluster {

namespace {

using testsupport::NowMs;
using testsupport::RemainingMs;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

bool HasRow(const std::set<std::string>& rows, const std::string& row) {
  auto at = rows.lower_bound(row);
  return at != rows.end() && at->compare(0, row.size(), row) == 0 &&
         (at->size() == row.size() || (*at)[row.size()] == ' ');
}

std::set<std::string> ShowRows(const std::string& reply) {
  std::set<std::string> rows;
  size_t start = reply.find("\r\n");  // the header line
  while (start != std::string::npos && start + 2 < reply.size()) {
    start += 2;
    size_t end = reply.find("\r\n", start);
    std::istringstream words(reply.substr(start, end - start));
    std::string row, word;
    while (words >> word) row += (row.empty() ? "" : " ") + word;
    std::transform(row.begin(), row.end(), row.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (!row.empty()) rows.insert(row);
    start = end;
  }
  return rows;
}

Site::Site(int routers) : etcd_(3, 11), tables_("vokel-cluster-tables") {
  std::string endpoints;
  for (const std::string& url : etcd_.ClientUrls()) {
    endpoints += (endpoints.empty() ? "" : ",") + url;
  }
  for (int i = 0; i < kInstances; ++i) {
    instances_.push_back(std::make_unique<e2e::ServiceProcess>());
    clients_.push_back(std::make_unique<e2e::CommandClient>());
    paused_.push_back(false);
    instances_.back()->WriteConfig(
        "VoKelMng.ini", "[CLUSTER]\nETCD=" + endpoints + "\nNAME=" + Name(i) +
                            "\nPREFIX=/vokelmng/\nLEASE=" + std::to_string(kLeaseSeconds) +
                            "\n[SERVICE]\nPORT=" + std::to_string(CommandPort(i)) +
                            "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(ApiPort(i)) + "\n");
  }
  for (int r = 1; r <= routers; ++r) routers_.push_back(std::make_unique<e2e::PvsimProcess>());
}

Site::~Site() {
  // A paused instance would not see the SIGTERM of its destructor's stop.
  for (int i = 0; i < kInstances; ++i) {
    if (paused_[i]) ResumeInstance(i);
    clients_[i]->Close();
    if (instances_[i]->pid() > 0) instances_[i]->Stop(5000);
  }
}

std::string Site::Start() {
  if (!syslog_.Start(514, "127.0.0.1", 1 << 20)) return "cannot listen for syslog";
  std::string error = etcd_.Start();
  if (!error.empty()) return "etcd: " + error;
  for (int r = 1; r <= routers(); ++r) {
    if (!routers_[r - 1]->Start(RouterAddress(r), 880,
                                {"--table", tables_.File("table-" + std::to_string(r))})) {
      return routers_[r - 1]->error();
    }
  }
  for (int i = 0; i < kInstances; ++i) {
    error = StartInstance(i);
    if (!error.empty()) return error;
  }
  if (WaitLeader(10000) < 0) return "no leader within 10 s";
  return "";
}

std::string Site::StartInstance(int i, int timeoutMs) {
  clients_[i]->Close();
  paused_[i] = false;
  const int64_t deadline = NowMs() + timeoutMs;
  if (!instances_[i]->Start({}, CommandPort(i), timeoutMs)) {
    return Name(i) + ": " + instances_[i]->error();
  }
  // The operator API may come up after the command port.
  while (!View(i, 500).answered) {
    if (RemainingMs(deadline) == 0) return Name(i) + ": /status did not answer";
    SleepMs(20);
  }
  return "";
}

int Site::StopInstance(int i, int timeoutMs) {
  if (paused_[i]) ResumeInstance(i);
  clients_[i]->Close();
  return instances_[i]->Stop(timeoutMs);
}

void Site::KillInstance(int i) {
  clients_[i]->Close();
  kill(instances_[i]->pid(), SIGKILL);
  paused_[i] = false;
  for (int64_t deadline = NowMs() + 5000; Running(i) && RemainingMs(deadline) > 0;) SleepMs(10);
}

void Site::PauseInstance(int i) {
  kill(instances_[i]->pid(), SIGSTOP);
  paused_[i] = true;
}

void Site::ResumeInstance(int i) {
  kill(instances_[i]->pid(), SIGCONT);
  paused_[i] = false;
}

bool Site::Running(int i) { return instances_[i]->pid() > 0 && instances_[i]->Running(); }

bool Site::Responsive(int i) { return !paused_[i] && Running(i); }

testsupport::HttpReply Site::Api(int i, const std::string& path, int timeoutMs) const {
  return testsupport::HttpGet(path, ApiPort(i), "127.0.0.1", timeoutMs);
}

ClusterView Site::View(int i, int timeoutMs) const {
  ClusterView view;
  testsupport::HttpReply reply = Api(i, "/status", timeoutMs);
  if (reply.status != 200) return view;
  nlohmann::json status = nlohmann::json::parse(reply.body, nullptr, false);
  if (!status.is_object() || !status.contains("cluster") || !status["cluster"].is_object()) {
    return view;
  }
  const nlohmann::json& c = status["cluster"];
  view.answered = true;
  view.role = c.value("role", "");
  view.name = c.value("name", "");
  if (c.contains("leader") && c["leader"].is_string()) view.leader = c["leader"];
  if (c.contains("term") && c["term"].is_number()) view.term = c["term"];
  view.etcd = c.value("etcd", "");
  return view;
}

int Site::WaitLeader(int timeoutMs, int except) {
  for (int64_t deadline = NowMs() + timeoutMs;; SleepMs(50)) {
    std::vector<ClusterView> views(kInstances);
    int leader = -1;
    for (int i = 0; i < kInstances; ++i) {
      if (!Responsive(i) || i == except) continue;
      views[i] = View(i, 500);
      if (views[i].role == "leader") leader = i;
    }
    bool agreed = leader >= 0;
    for (int i = 0; agreed && i < kInstances; ++i) {
      if (views[i].answered && views[i].leader != Name(leader)) agreed = false;
    }
    if (agreed) return leader;
    if (RemainingMs(deadline) == 0) return -1;
  }
}

std::optional<std::string> Site::Command(int i, const std::string& line, int timeoutMs) {
  e2e::CommandClient& client = *clients_[i];
  if (client.fd() < 0) {
    if (!client.Connect(CommandPort(i), "", 2000) || client.ReadReply(2000) != "") {
      client.Close();
      return std::nullopt;
    }
  }
  std::optional<std::string> reply = client.Command(line, timeoutMs);
  if (!reply) client.Close();  // the next command starts on a fresh connection
  return reply;
}

std::optional<std::set<std::string>> Site::Rows(int i, const std::string& family) {
  std::optional<std::string> reply = Command(i, family + " show", 3000);
  if (!reply) return std::nullopt;
  return ShowRows(*reply);
}

bool Site::WaitListed(const std::string& family, const std::string& row, bool present,
                      int timeoutMs) {
  std::vector<bool> done(kInstances, false);
  for (int64_t deadline = NowMs() + timeoutMs;; SleepMs(20)) {
    bool all = true;
    for (int i = 0; i < kInstances; ++i) {
      if (done[i] || !Responsive(i)) continue;
      std::optional<std::set<std::string>> rows = Rows(i, family);
      done[i] = rows && HasRow(*rows, row) == present;
      all = all && done[i];
    }
    if (all) return true;
    if (RemainingMs(deadline) == 0) return false;
  }
}

chaos::Comparison Site::Compare(int i, int r) const {
  return chaos::CompareTable(tables_.File("table-" + std::to_string(r)), RouterAddress(r),
                             ApiPort(i));
}

bool Site::WaitTablesEqual(int i, int timeoutMs) {
  for (int64_t deadline = NowMs() + timeoutMs;; SleepMs(100)) {
    bool equal = true;
    for (int r = 1; equal && r <= routers(); ++r) equal = Compare(i, r).Equal();
    if (equal) return true;
    if (RemainingMs(deadline) == 0) return false;
  }
}

std::string Site::LogTail(size_t count) {
  const std::vector<std::string>& messages = syslog_.Messages();
  std::string text;
  for (size_t k = messages.size() > count ? messages.size() - count : 0; k < messages.size(); ++k) {
    text += messages[k] + "\n";
  }
  return text;
}

std::string Site::JournalText(int r) const {
  std::string text;
  for (const e2e::RouterRequest& q : Journal(r)) {
    text += std::to_string(q.term) + " " + (q.event.empty() ? q.Text() : q.event) + "\n";
  }
  return text;
}

std::string Site::TermProblems(int r) const {
  std::string problems;
  int64_t highest = 0;
  for (const e2e::RouterRequest& q : Journal(r)) {
    if (q.event == "refused") continue;  // no request came on that connection
    if (q.term <= 0) {
      problems += "no term: " + q.Text() + "\n";
    } else if (q.term < highest) {
      problems += "term " + std::to_string(q.term) + " after " + std::to_string(highest) + ": " +
                  q.Text() + "\n";
    }
    highest = std::max(highest, q.term);
  }
  return problems;
}

bool Site::WaitReset(int r, int64_t term, int timeoutMs) const {
  for (int64_t deadline = NowMs() + timeoutMs;; SleepMs(50)) {
    for (const e2e::RouterRequest& q : Journal(r)) {
      if (q.term == term && q.Text() == "client reset") return true;
    }
    if (RemainingMs(deadline) == 0) return false;
  }
}

}  // namespace cluster
