// Chaos: two sites side by side in one private network, one with SYNC=state, one planning
// edits, both with the access entry store. Each gets the same seeded stream of commands of
// every family, five pvsim routers that flap (address removed and restored, shorter and longer
// than the OFF diagnosis), one router whose HTTP side refuses connections past the retry
// schedule while it still answers ICMP, and a SIGKILL of the service with a restart. After the
// last fault and a settling time, every router of the state site must hold exactly the lines of
// its /routers/ADDRESS/lines, each once. The edits site's divergence is printed, not asserted.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api_client.h"
#include "harness.h"
#include "netns.h"
#include "pvsim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRouters = 5;

struct Event {
  int atMs;
  enum Kind { kCommand, kDown, kUp, kKill, kRefuse } kind;
  std::string text;  // the command
  int router = 0;    // 1..5
};

std::string Router(const std::string& prefix, int r) { return prefix + std::to_string(r); }

// The seeded script, the same for both sites; "@" in a command stands for the site's prefix.
std::vector<Event> Script() {
  std::vector<Event> events;
  auto command = [&](int at, const std::string& text) {
    events.push_back({at, Event::kCommand, text});
  };
  int t = 500;
  for (int r = 1; r <= kRouters; ++r) {
    command(t, "pv add @" + std::to_string(r));
    for (int k = 0; k < 2; ++k) {
      command(t, "pvroute add @" + std::to_string(r) + " network 10." + std::to_string(r) + "." +
                     std::to_string(k) + ".0 netmask 255.255.255.0 dev eth" + std::to_string(k));
    }
    t += 100;
  }
  command(t, "quarantine add source 172.17.254.254 protocol tcp sport 4208");
  for (const char* family : {"pv", "pvroute", "quarantine"})
    command(t, std::string(family) + " save");
  std::mt19937 rng(20261208);
  // What the script has added, so that most commands change something.
  std::set<std::string> routes, pcs, entries, servers = {"172.17.254.254 tcp 4208"};
  for (int r = 1; r <= kRouters; ++r) {
    for (int k = 0; k < 2; ++k) routes.insert(std::to_string(r) + " " + std::to_string(k));
  }
  auto pcAddress = [](int j) {
    int r = j % kRouters + 1;
    return "10." + std::to_string(r) + "." + std::to_string((j / kRouters) % 3) + "." +
           std::to_string(10 + j);
  };
  auto pcMac = [](int j) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:00:%02X", j);
    return std::string(mac);
  };
  for (t = 3000; t < 60000; t += 250) {
    int family = static_cast<int>(rng() % 100);
    if (family < 15) {
      int r = 1 + static_cast<int>(rng() % kRouters);
      int k = static_cast<int>(rng() % 3);
      std::string key = std::to_string(r) + " " + std::to_string(k);
      std::string words = "@" + std::to_string(r) + " network 10." + std::to_string(r) + "." +
                          std::to_string(k) + ".0 netmask 255.255.255.0";
      if (routes.erase(key) != 0) {
        command(t, "pvroute del " + words);
      } else {
        routes.insert(key);
        command(t, "pvroute add " + words + " dev eth" + std::to_string(k));
      }
      command(t, "pvroute save");
    } else if (family < 40) {
      int j = static_cast<int>(rng() % 24);
      std::string words = "source " + pcAddress(j) + " source-mac " + pcMac(j);
      if (pcs.erase(pcAddress(j)) != 0) {
        command(t, "pc del " + words);
      } else {
        pcs.insert(pcAddress(j));
        command(t, "pc add " + words);
      }
      command(t, "pc save");
    } else if (family < 50) {
      // The second server comes and goes (kel lines are held only while there is a server:
      // the first one stays, so that the site ends with something to hold).
      std::string key = "172.17.254.253 udp 53";
      std::string words = "source 172.17.254.253 protocol udp sport 53";
      if (servers.erase(key) != 0) {
        command(t, "quarantine del " + words);
      } else {
        servers.insert(key);
        command(t, "quarantine add " + words);
      }
      command(t, "quarantine save");
    } else {
      int j = static_cast<int>(rng() % 24);
      std::string target = rng() % 3 == 0 ? "drop" : "accept";
      std::string key = target + " " + pcAddress(j);
      std::string words = target + " source " + pcAddress(j);
      if (entries.erase(key) != 0) {
        command(t, "kel del " + words);
      } else if (entries.count((target == "drop" ? "accept " : "drop ") + pcAddress(j)) == 0) {
        entries.insert(key);
        command(t, "kel add " + words + (rng() % 2 == 0 ? " source-mac " + pcMac(j) : ""));
      }
    }
  }
  // The end of the stream puts back a base of routes, PCs and entries, so that every router
  // ends with lines to hold whatever the random part left.
  for (int r = 1; r <= kRouters; ++r) {
    if (routes.insert(std::to_string(r) + " 0").second) {
      command(t, "pvroute add @" + std::to_string(r) + " network 10." + std::to_string(r) +
                     ".0.0 netmask 255.255.255.0 dev eth0");
    }
  }
  for (int j = 0; j < 24; ++j) {  // two PCs behind route 0 of every router
    if ((j / kRouters) % 3 != 0) continue;
    if (pcs.insert(pcAddress(j)).second) {
      command(t, "pc add source " + pcAddress(j) + " source-mac " + pcMac(j));
    }
    if (entries.count("accept " + pcAddress(j)) == 0 &&
        entries.count("drop " + pcAddress(j)) == 0) {
      entries.insert("accept " + pcAddress(j));
      command(t, "kel add accept source " + pcAddress(j));
    }
  }
  for (const char* family : {"pv", "pvroute", "pc"}) command(t, std::string(family) + " save");
  // A router leaves and comes back.
  command(30000, "pv del @5");
  command(30000, "pv save");
  command(33000, "pv add @5");
  command(33000, "pv save");
  // The faults.
  events.push_back({10000, Event::kDown, "", 1});  // shorter than the OFF diagnosis
  events.push_back({15000, Event::kUp, "", 1});
  events.push_back({12000, Event::kKill, ""});
  events.push_back({14000, Event::kDown, "", 2});  // OFF, then ON again
  events.push_back({62000, Event::kUp, "", 2});
  events.push_back({16000, Event::kRefuse, "", 3});  // HTTP refused past the retry schedule
  command(16500, "pvroute add @3 network 10.3.9.0 netmask 255.255.255.0 dev eth9");
  events.push_back({80000, Event::kRefuse, "", 3});
  events.push_back({40000, Event::kDown, "", 4});
  events.push_back({44000, Event::kUp, "", 4});
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
  return events;
}
constexpr int kLastFaultMs = 80000;

std::string Replace(std::string text, const std::string& prefix) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@')) {
    text.replace(at, 1, prefix);
  }
  return text;
}

struct Comparison {
  size_t expected = 0, present = 0, missing = 0, extra = 0, duplicates = 0;
  bool Equal() const { return missing == 0 && extra == 0 && duplicates == 0; }
};

class Site {
 public:
  Site(std::string name, bool state, uint16_t commandPort, uint16_t apiPort, std::string prefix)
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

  bool Start(std::string* error) {
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

  // Runs the script against this site; returns what went wrong, empty when nothing did.
  std::string Run(const std::vector<Event>& events, Clock::time_point start) {
    std::string problems;
    for (const Event& e : events) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(e.atMs));
      switch (e.kind) {
        case Event::kCommand:
          if (!client_.Command(Replace(e.text, prefix_), 5000).has_value()) {
            problems += name_ + ": no answer to " + e.text + "\n";
            client_.Close();
            client_.Connect(commandPort_);
            client_.ReadReply();
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
          if (!StartService(&error)) problems += name_ + ": restart failed: " + error + "\n";
          break;
        }
      }
    }
    return problems;
  }

  // Router r's table against its lines as the API gives them.
  Comparison Compare(int r, bool print) {
    Comparison c;
    std::multiset<std::string> present;
    std::string text = testsupport::ReadFile(Table(r)).value_or("");
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line[0] != '#') present.insert(line);
      start = end + 1;
    }
    std::set<std::string> expected;
    apitest::HttpReply reply = apitest::Get("/routers/" + Address(r) + "/lines", apiPort_);
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
    for (const std::string& line : expected) c.missing += present.count(line) == 0;
    for (auto it = present.begin(); it != present.end(); it = present.upper_bound(*it)) {
      if (expected.count(*it) == 0) c.extra += present.count(*it);
      if (present.count(*it) > 1) c.duplicates += present.count(*it) - 1;
    }
    if (print) {
      std::printf("%-6s %s: expected %zu, present %zu, missing %zu, extra %zu, duplicates %zu\n",
                  name_.c_str(), Address(r).c_str(), c.expected, c.present, c.missing, c.extra,
                  c.duplicates);
    }
    return c;
  }

  bool Converged() {
    for (int r = 1; r <= kRouters; ++r) {
      if (!Compare(r, false).Equal()) return false;
    }
    return true;
  }

  void Stop() {
    client_.Close();
    service_.Stop(15000);
  }

 private:
  std::string Address(int r) const { return Router(prefix_, r); }
  std::string Table(int r) const { return tables_.File("table-" + std::to_string(r)); }

  bool StartService(std::string* error) {
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

  std::string name_;
  uint16_t commandPort_;
  uint16_t apiPort_;
  std::string prefix_;
  e2e::ServiceProcess service_;
  e2e::TempDir tables_;
  std::vector<std::unique_ptr<e2e::PvsimProcess>> routers_;
  e2e::CommandClient client_;
};

TEST(ChaosTest, UnderFlapsRefusalsAndAKillEveryRouterConvergesToItsLines) {
  ENTER_PRIVATE_NETWORK();
  ASSERT_TRUE(testsupport::NarrowLoopback());
  ASSERT_TRUE(e2e::WriteFile("/proc/sys/net/ipv4/ip_nonlocal_bind", "1\n"));
  Site state("state", true, 8000, 9100, "127.0.1.");
  Site edits("edits", false, 8001, 9101, "127.0.2.");
  std::string error;
  ASSERT_TRUE(state.Start(&error)) << error;
  ASSERT_TRUE(edits.Start(&error)) << error;

  const std::vector<Event> events = Script();
  const Clock::time_point start = Clock::now();
  std::string editsProblems;
  std::thread other([&] { editsProblems = edits.Run(events, start); });
  std::string problems = state.Run(events, start);
  other.join();
  EXPECT_EQ(problems, "");
  EXPECT_EQ(editsProblems, "");

  // Settling: the repair of the refused router needs its next try after the refusal ended.
  std::this_thread::sleep_until(start + std::chrono::milliseconds(kLastFaultMs));
  bool converged = false;
  double seconds = 0;
  while (!converged && Clock::now() < start + std::chrono::milliseconds(kLastFaultMs + 60000)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    converged = state.Converged();
    seconds = std::chrono::duration<double>(Clock::now() - start).count() - kLastFaultMs / 1000.0;
  }
  std::printf("state site %s %.0f s after the last fault\n",
              converged ? "converged" : "did not converge", seconds);
  size_t expected = 0;
  for (int r = 1; r <= kRouters; ++r) {
    Comparison c = state.Compare(r, true);
    EXPECT_TRUE(c.Equal()) << "router " << r << " of the state site";
    expected += c.expected;
  }
  EXPECT_GE(expected, 30u);  // the site ends with lines to hold on its routers
  // The refused router's request was given up, and its repair brought it back.
  nlohmann::json refused =
      nlohmann::json::parse(apitest::Get("/routers/127.0.1.3", 9100).body, nullptr, false);
  EXPECT_GE(refused.value("requests_dropped", 0), 1) << refused.dump();
  EXPECT_EQ(refused.value("out_of_sync", true), false) << refused.dump();
  for (int r = 1; r <= kRouters; ++r) edits.Compare(r, true);  // shown, not asserted
  state.Stop();
  edits.Stop();
}

}  // namespace
