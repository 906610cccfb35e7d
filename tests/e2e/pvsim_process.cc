#include "pvsim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

// The credentials every router carries unless `pv add` names others.
constexpr char kUser[] = "admin";
constexpr char kPassword[] = "pomvy";

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The JSON string value of `"key":"..."` in `line`, unescaped; empty when absent.
std::string StringField(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\":\"";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  std::string value;
  for (size_t i = at + marker.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      value += line[i];
    } else if (line[++i] == 'u' && i + 4 < line.size()) {
      value += static_cast<char>(std::strtol(line.substr(i + 1, 4).c_str(), nullptr, 16));
      i += 4;
    } else {
      value += line[i];
    }
  }
  return value;
}

int NumberField(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\":";
  size_t at = line.find(marker);
  return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + marker.size());
}

}  // namespace

RouterRequest ParseJournalLine(const std::string& line) {
  RouterRequest r;
  r.version = StringField(line, "version");
  r.klass = StringField(line, "class");
  r.opcode = StringField(line, "opcode");
  r.count = StringField(line, "count");
  r.acl = StringField(line, "acl");
  r.auth = StringField(line, "auth");
  r.status = NumberField(line, "status");
  return r;
}

PvsimProcess::PvsimProcess() : dir_("vokel-pvsim") {}

PvsimProcess::~PvsimProcess() { Stop(); }

bool PvsimProcess::Start(const std::string& address, uint16_t port,
                         const std::vector<std::string>& extra) {
  address_ = address;
  std::vector<std::string> args = {ProgramPath("pvsim"),
                                   "--listen",
                                   address + ":" + std::to_string(port),
                                   "--journal",
                                   dir_.File("journal"),
                                   "--user",
                                   kUser,
                                   "--password",
                                   kPassword};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out = open(dir_.File("output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out, 1);
    dup2(out, 2);
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  close(out);
  for (int waited = 0; pid_ > 0 && waited < 5000; waited += 10) {
    if (ReadFile(dir_.File("output")).value_or("").find("pvsim: listening on") !=
        std::string::npos) {
      return true;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    SleepMs(10);
  }
  error_ = "pvsim did not start on " + address + ": " + ReadFile(dir_.File("output")).value_or("");
  Stop();
  return false;
}

bool PvsimProcess::Signal(int signal) const { return pid_ > 0 && kill(pid_, signal) == 0; }

void PvsimProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int waited = 0; waited < 1000; waited += 10) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    SleepMs(10);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<RouterRequest> PvsimProcess::Requests() const {
  std::vector<RouterRequest> requests;
  std::istringstream journal(ReadFile(dir_.File("journal")).value_or(""));
  std::string line;
  while (std::getline(journal, line)) {
    if (!line.empty()) requests.push_back(ParseJournalLine(line));
  }
  return requests;
}

std::vector<std::string> PvsimProcess::Lines() const {
  std::vector<std::string> lines;
  for (const RouterRequest& r : Requests()) lines.push_back(r.Text());
  return lines;
}

}  // namespace e2e
