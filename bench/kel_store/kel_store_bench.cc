// kel_store_bench: `kel add` round trips per second as an operator sees them (the command sent,
// its reply and the following prompt "$ " received), with [KEL] STORE off and on, on one
// connection and on ten connections at once. Each measurement runs the real VoKelMng, fresh,
// in this program's private network with a scratch working directory (kel.journal on the same
// disk as /tmp), and every add names an address not added before, so each is a new entry.
//
// Run as root after a release build: build/release/bin/kel_store_bench [--seconds N]
// Each measurement lasts N seconds (default 3, at most 60) or 30,000 adds, whichever ends first.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "netns.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kPort = 18010;
constexpr int kMaxAdds = 30000;

struct Figure {
  int connections = 1;
  long adds = 0;
  double seconds = 0;
  long errors = 0;  // replies other than the bare prompt (store error, duplicate, time-out)
  std::string firstError;
  double PerSecond() const { return seconds > 0 ? adds / seconds : 0; }
};

// 10.(100 + connection).x.y: distinct for every connection and every add.
std::string AddCommand(int connection, long i) {
  return "kel add accept source 10." + std::to_string(100 + connection) + "." +
         std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
}

// Adds on `connections` connections at once until `seconds` pass or kMaxAdds are done.
Figure Measure(bool store, int connections, int seconds) {
  Figure figure;
  figure.connections = connections;
  e2e::ServiceProcess service;
  std::string ini = "[SERVICE]\nPORT=" + std::to_string(kPort) + "\n";
  if (store) ini += "[KEL]\nSTORE=enable\n";
  service.WriteConfig("VoKelMng.ini", ini);
  if (!service.Start({}, kPort, 10000)) {
    figure.errors = 1;
    figure.firstError = "the service did not start: " + service.error();
    return figure;
  }
  std::vector<std::unique_ptr<e2e::CommandClient>> clients;
  for (int c = 0; c < connections; ++c) {
    clients.push_back(std::make_unique<e2e::CommandClient>());
    if (!clients.back()->Connect(kPort) || !clients.back()->ReadReply().has_value()) {
      figure.errors = 1;
      figure.firstError = "no prompt on connection " + std::to_string(c);
      return figure;
    }
  }
  // A short warm-up on the first connection (its addresses are outside the measured range).
  for (int i = 0; i < 50; ++i) clients[0]->Command(AddCommand(99, i));

  std::vector<Figure> each(connections);
  const long perConnection = kMaxAdds / connections;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < connections; ++c) {
    threads.emplace_back([&, c] {
      Figure& f = each[c];
      for (long i = 0; i < perConnection && Clock::now() < end; ++i) {
        std::optional<std::string> reply = clients[c]->Command(AddCommand(c, i), 5000);
        if (!reply.has_value() || !reply->empty()) {
          if (f.errors++ == 0) f.firstError = reply.value_or("<no reply within 5 s>");
          if (!reply.has_value()) break;
        }
        ++f.adds;
      }
    });
  }
  for (auto& t : threads) t.join();
  figure.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (const Figure& f : each) {
    figure.adds += f.adds;
    if (figure.errors == 0 && f.errors != 0) figure.firstError = f.firstError;
    figure.errors += f.errors;
  }
  for (auto& client : clients) client->Close();
  if (store) {
    // Every acknowledged add is in the journal: the header, the warm-up and the measured adds.
    std::string journal = service.ReadWork("kel.journal").value_or("");
    long lines = 0;
    for (char ch : journal) lines += ch == '\n';
    if (lines != 1 + 50 + figure.adds) {
      ++figure.errors;
      if (figure.firstError.empty()) {
        figure.firstError = "kel.journal holds " + std::to_string(lines) + " lines, expected " +
                            std::to_string(1 + 50 + figure.adds);
      }
    }
  }
  service.Stop(10000);
  return figure;
}

void Print(const char* label, const Figure& f) {
  // The mean round trip as each connection sees it.
  double roundTrip = f.adds > 0 ? f.seconds * 1e6 * f.connections / f.adds : 0.0;
  std::printf("%-28s %6ld adds in %5.2f s: %7.0f/s, round trip %6.0f us%s%s\n", label, f.adds,
              f.seconds, f.PerSecond(), roundTrip, f.errors != 0 ? "; errors: " : "",
              f.errors != 0 ? f.firstError.c_str() : "");
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
      return 2;
    }
  }
  if (seconds < 1 || seconds > 60) seconds = 3;
  std::string error = testsupport::EnterPrivateNetwork();
  if (!error.empty()) {
    std::fprintf(stderr, "kel_store_bench: cannot make a private network (run as root): %s\n",
                 error.c_str());
    return 2;
  }
  std::printf("kel add round trips (command, reply, prompt), the real VoKelMng, %d s each\n",
              seconds);
  Figure offOne = Measure(false, 1, seconds);
  Print("store off, one connection", offOne);
  Figure offTen = Measure(false, 10, seconds);
  Print("store off, ten connections", offTen);
  Figure onOne = Measure(true, 1, seconds);
  Print("store on, one connection", onOne);
  Figure onTen = Measure(true, 10, seconds);
  Print("store on, ten connections", onTen);

  bool oneMet = onOne.errors == 0 && onOne.PerSecond() >= 500;
  bool tenMet = onTen.errors == 0 && onTen.PerSecond() >= 2000;
  std::printf("target (kel add with the store on, one connection >= 500/s): %s\n",
              oneMet ? "met" : "not met");
  std::printf("target (kel add with the store on, ten connections >= 2,000/s): %s\n",
              tenMet ? "met" : "not met");
  return 0;
}
