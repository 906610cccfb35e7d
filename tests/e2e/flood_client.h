// Hostile command-port load for the reliability tests and the soak benchmark: clients that
// send a seeded mix of commands, overlong lines, lines of too many words, binary garbage and
// unknown words; some half-close, some never read. Header-only.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {

// One line of the mix, drawn with `rng`.
inline std::string FloodLine(std::mt19937& rng) {
  int pick = static_cast<int>(rng() % 1000);
  int n = static_cast<int>(rng() % 200) + 1;
  std::string pc = "192.168.0." + std::to_string(n);
  if (pick < 15) return std::string(70000, 'x') + "\n";  // over the line limit
  if (pick < 45) {
    std::string words = "pv";
    for (int i = 0; i < 300; ++i) words += " w";
    return words + "\n";
  }
  if (pick < 85) {
    std::string junk(static_cast<size_t>(rng() % 200) + 1, '\0');
    for (char& c : junk) c = static_cast<char>(rng() % 256);
    return junk + "\n";
  }
  if (pick < 120) return "nosuch word " + std::to_string(n) + "\n";
  if (pick < 300) return "kel add accept source " + pc + "\n";
  if (pick < 450) return "kel del accept source " + pc + "\n";
  std::string mac = "00:00:00:00:01:" + std::to_string(10 + n % 90);
  if (pick < 550) return "pc add source-mac " + mac + " source " + pc + "\n";
  if (pick < 620) return "pc del source-mac " + mac + " source " + pc + "\n";
  if (pick < 700) return "pv show\n";
  if (pick < 760) return "kel show\n";
  if (pick < 800) return "pvroute show\n";
  return "help\n";
}

// Runs `clients` flooding threads against 127.0.0.1:8000 until Stop(). Clients 0 and 1 never
// read, clients 2 and 3 half-close after each burst; the rest read what comes.
class Flood {
 public:
  Flood(int clients, uint32_t seed) {
    for (int i = 0; i < clients; ++i) {
      threads_.emplace_back([this, i, seed] { Run(i, seed + static_cast<uint32_t>(i)); });
    }
  }
  ~Flood() { Stop(); }
  void Stop() {
    stop_ = true;
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }
  uint64_t lines() const { return lines_.load(); }
  uint64_t greetings() const { return greetings_.load(); }
  uint64_t lost_greetings() const { return lost_greetings_.load(); }

 private:
  void Run(int index, uint32_t seed) {
    std::mt19937 rng(seed);
    while (!stop_) {
      CommandClient c;
      if (!c.Connect(8000, "", 1000)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      bool reader = index >= 2;
      if (reader) {
        // A connection the service accepted greets first; end of file instead is a fault
        // (a full server closes the eleventh connection at once, which reads as nothing).
        std::optional<std::string> greeting = c.ReadReply(2000);
        if (greeting) {
          ++greetings_;
        } else if (!c.pending().empty()) {
          ++lost_greetings_;
        }
      }
      for (int burst = 0; burst < 20 && !stop_; ++burst) {
        std::string line = FloodLine(rng);
        if (!c.Send(line)) break;
        ++lines_;
        if (reader && !c.ReadReply(2000)) break;
      }
      if (index == 2 || index == 3) shutdown(c.fd(), SHUT_WR);
      if (reader) c.WaitClosed(500);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> lines_{0};
  std::atomic<uint64_t> greetings_{0};
  std::atomic<uint64_t> lost_greetings_{0};
  std::vector<std::thread> threads_;
};

}  // namespace e2e
