#include "chaos_site.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "api_client.h"
#include "netns.h"

namespace chaos {

namespace {

std::string Replace(std::string text, const std::string& prefix) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@')) {
    text.replace(at, 1, prefix);
  }
  return text;
}

std::string PcAddress(int j) {
  int r = j % kRouters + 1;
  return "10." + std::to_string(r) + "." + std::to_string((j / kRouters) % 3) + "." +
         std::to_string(10 + j);
}

std::string PcMac(int j) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:00:00:00:00:%02X", j);
  return std::string(mac);
}

constexpr int kPcs = 24;

}  // namespace

void SortByTime(std::vector<Event>* events) {
  std::stable_sort(events->begin(), events->end(),
                   [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
}

CommandMix::CommandMix() : servers_{"172.17.254.254 tcp 4208"} {
  for (int r = 1; r <= kRouters; ++r) {
    for (int k = 0; k < 2; ++k) routes_.insert(std::to_string(r) + " " + std::to_string(k));
  }
}

std::vector<std::string> CommandMix::RouterSetup(int r) const {
  std::vector<std::string> out = {"pv add @" + std::to_string(r)};
  for (int k = 0; k < 2; ++k) {
    out.push_back("pvroute add @" + std::to_string(r) + " network 10." + std::to_string(r) + "." +
                  std::to_string(k) + ".0 netmask 255.255.255.0 dev eth" + std::to_string(k));
  }
  return out;
}

std::vector<std::string> CommandMix::ServerSetup() const {
  return {"quarantine add source 172.17.254.254 protocol tcp sport 4208", "pv save", "pvroute save",
          "quarantine save"};
}

std::vector<std::string> CommandMix::Next(std::mt19937& rng) {
  std::vector<std::string> out;
  int family = static_cast<int>(rng() % 100);
  if (family < 15) {
    int r = 1 + static_cast<int>(rng() % kRouters);
    int k = static_cast<int>(rng() % 3);
    std::string key = std::to_string(r) + " " + std::to_string(k);
    std::string words = "@" + std::to_string(r) + " network 10." + std::to_string(r) + "." +
                        std::to_string(k) + ".0 netmask 255.255.255.0";
    if (routes_.erase(key) != 0) {
      out.push_back("pvroute del " + words);
    } else {
      routes_.insert(key);
      out.push_back("pvroute add " + words + " dev eth" + std::to_string(k));
    }
    out.push_back("pvroute save");
  } else if (family < 40) {
    int j = static_cast<int>(rng() % kPcs);
    std::string words = "source " + PcAddress(j) + " source-mac " + PcMac(j);
    if (pcs_.erase(PcAddress(j)) != 0) {
      out.push_back("pc del " + words);
    } else {
      pcs_.insert(PcAddress(j));
      out.push_back("pc add " + words);
    }
    out.push_back("pc save");
  } else if (family < 50) {
    // The second server comes and goes (kel lines are held only while there is a server: the
    // first one stays, so that the site ends with something to hold).
    std::string key = "172.17.254.253 udp 53";
    std::string words = "source 172.17.254.253 protocol udp sport 53";
    if (servers_.erase(key) != 0) {
      out.push_back("quarantine del " + words);
    } else {
      servers_.insert(key);
      out.push_back("quarantine add " + words);
    }
    out.push_back("quarantine save");
  } else {
    int j = static_cast<int>(rng() % kPcs);
    std::string target = rng() % 3 == 0 ? "drop" : "accept";
    std::string key = target + " " + PcAddress(j);
    std::string words = target + " source " + PcAddress(j);
    if (entries_.erase(key) != 0) {
      out.push_back("kel del " + words);
    } else if (entries_.count((target == "drop" ? "accept " : "drop ") + PcAddress(j)) == 0) {
      entries_.insert(key);
      out.push_back("kel add " + words + (rng() % 2 == 0 ? " source-mac " + PcMac(j) : ""));
    }
  }
  return out;
}

std::vector<std::string> CommandMix::Base() {
  std::vector<std::string> out;
  for (int r = 1; r <= kRouters; ++r) {
    if (routes_.insert(std::to_string(r) + " 0").second) {
      out.push_back("pvroute add @" + std::to_string(r) + " network 10." + std::to_string(r) +
                    ".0.0 netmask 255.255.255.0 dev eth0");
    }
  }
  for (int j = 0; j < kPcs; ++j) {  // two PCs behind route 0 of every router
    if ((j / kRouters) % 3 != 0) continue;
    if (pcs_.insert(PcAddress(j)).second) {
      out.push_back("pc add source " + PcAddress(j) + " source-mac " + PcMac(j));
    }
    if (entries_.count("accept " + PcAddress(j)) == 0 &&
        entries_.count("drop " + PcAddress(j)) == 0) {
      entries_.insert("accept " + PcAddress(j));
      out.push_back("kel add accept source " + PcAddress(j));
    }
  }
  for (const char* family : {"pv", "pvroute", "pc"}) out.push_back(std::string(family) + " save");
  return out;
}

Site::Site(std::string name, bool state, uint16_t commandPort, uint16_t apiPort, std::string prefix)
    : name_(std::move(name)),
      commandPort_(commandPort),
      apiPort_(apiPort),
      prefix_(std::move(prefix)) {
  std::string ini = "[SERVICE]\nPORT=" + std::to_string(commandPort) +
                    "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(apiPort) +
                    "\n[KEL]\nSTORE=enable\n";
  if (state) ini += "[ACL]\nSYNC=state\n";
  service_.WriteConfig("VoKelMng.ini", ini);
}

bool Site::Start(std::string* error) {
  for (int r = 1; r <= kRouters; ++r) {
    routers_.push_back(std::make_unique<e2e::PvsimProcess>());
    if (!routers_.back()->Start(Address(r), 880, {"--table", Table(r)})) {
      *error = routers_.back()->error();
      return false;
    }
    if (!testsupport::AddLoopbackAddress(Address(r))) {
      *error = "cannot add " + Address(r);
      return false;
    }
  }
  return StartService(error);
}

std::string Site::Apply(const Event& e) {
  switch (e.kind) {
    case Event::kCommand:
      if (!client_.Command(Replace(e.text, prefix_), 5000).has_value()) {
        client_.Close();
        client_.Connect(commandPort_);
        client_.ReadReply();
        return name_ + ": no answer to " + e.text + "\n";
      }
      break;
    case Event::kDown:
      testsupport::RemoveLoopbackAddress(Address(e.router));
      break;
    case Event::kUp:
      testsupport::AddLoopbackAddress(Address(e.router));
      break;
    case Event::kRefuse:
      routers_[e.router - 1]->Signal(SIGUSR1);
      break;
    case Event::kKill: {
      kill(service_.pid(), SIGKILL);
      for (int waited = 0; service_.Running() && waited < 5000; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::string error;
      if (!StartService(&error)) return name_ + ": restart failed: " + error + "\n";
      break;
    }
  }
  return "";
}

std::string Site::Run(const std::vector<Event>& events, Clock::time_point start,
                      const std::atomic<bool>* stop) {
  std::string problems;
  for (const Event& e : events) {
    Clock::time_point at = start + std::chrono::milliseconds(e.atMs);
    // Sleeps in short steps, so that a stop request is seen at once.
    while (Clock::now() < at && (stop == nullptr || !stop->load())) {
      std::this_thread::sleep_until(std::min(at, Clock::now() + std::chrono::milliseconds(200)));
    }
    if (stop != nullptr && stop->load()) break;
    problems += Apply(e);
  }
  return problems;
}

Comparison CompareTable(const std::string& table, const std::string& address, uint16_t apiPort) {
  Comparison c;
  std::multiset<std::string> present;
  std::string text = testsupport::ReadFile(table).value_or("");
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line[0] != '#') present.insert(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::set<std::string> expected;
  apitest::HttpReply reply = apitest::Get("/routers/" + address + "/lines", apiPort);
  if (reply.status == 200) {
    for (const auto& l : nlohmann::json::parse(reply.body, nullptr, false)) {
      std::string line = l.value("line", "");
      expected.insert(l.value("class", "") + " " + line.substr(line.find(' ') + 1));
    }
  } else {
    c.missing = 1;  // no answer counts as a difference
  }
  c.expected = expected.size();
  c.present = present.size();
  for (const std::string& line : expected) {
    if (present.count(line) != 0) continue;
    ++c.missing;
    c.differences += "missing " + line + "\n";
  }
  for (auto it = present.begin(); it != present.end(); it = present.upper_bound(*it)) {
    if (expected.count(*it) == 0) {
      c.extra += present.count(*it);
      c.differences += "extra " + *it + "\n";
    }
    if (present.count(*it) > 1) {
      c.duplicates += present.count(*it) - 1;
      c.differences += "duplicate " + *it + "\n";
    }
  }
  return c;
}

Comparison Site::Compare(int r, bool print) {
  Comparison c = CompareTable(Table(r), Address(r), apiPort_);
  if (print) {
    std::printf("%-6s %s: expected %zu, present %zu, missing %zu, extra %zu, duplicates %zu\n",
                name_.c_str(), Address(r).c_str(), c.expected, c.present, c.missing, c.extra,
                c.duplicates);
    std::printf("%s", c.differences.c_str());
  }
  return c;
}

bool Site::Converged() {
  for (int r = 1; r <= kRouters; ++r) {
    if (!Compare(r, false).Equal()) return false;
  }
  return true;
}

void Site::Stop() {
  client_.Close();
  service_.Stop(15000);
}

bool Site::StartService(std::string* error) {
  if (!service_.Start({}, commandPort_, 10000)) {
    *error = service_.error();
    return false;
  }
  client_.Close();
  if (!client_.Connect(commandPort_) || client_.ReadReply() != std::optional<std::string>("")) {
    *error = "no prompt";
    return false;
  }
  return true;
}

}  // namespace chaos
