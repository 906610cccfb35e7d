#include "harness.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "deadline.h"

#ifndef VOKEL_BIN_DIR
#error "VOKEL_BIN_DIR must name the folder of the built programs"
#endif

namespace e2e {

namespace {

using testsupport::NowMs;
using testsupport::RemainingMs;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string ResolveProgram(const std::string& name) {
  return name.find('/') == std::string::npos ? ProgramPath(name) : name;
}

}  // namespace

std::string BinDir() {
  // The sanitizer builds' programs are run by this build's tests (scripts/test.sh).
  const char* other = std::getenv("VOKEL_BIN_DIR");
  return other != nullptr && other[0] != '\0' ? other : VOKEL_BIN_DIR;
}

std::string ProgramPath(const std::string& name) { return BinDir() + "/" + name; }

ProgramResult RunProgram(const std::vector<std::string>& argv, int timeout_ms,
                         const std::vector<std::string>& env, const std::string& cwd,
                         const std::string& input) {
  if (argv.empty()) return ProgramResult();
  std::vector<std::string> args = argv;
  args[0] = ResolveProgram(args[0]);
  return testsupport::RunProgram(args, timeout_ms, env, cwd, input);
}

// --- ServiceProcess ---

ServiceProcess::ServiceProcess()
    : config_("vokel-config"), work_("vokel-work"), logs_("vokel-logs") {}

bool ServiceProcess::WriteConfig(const std::string& name, const std::string& text) {
  return WriteFile(config_.File(name), text);
}

std::optional<std::string> ServiceProcess::ReadConfig(const std::string& name) const {
  return ReadFile(config_.File(name));
}

bool ServiceProcess::WriteWork(const std::string& name, const std::string& text) {
  return WriteFile(work_.File(name), text);
}

std::optional<std::string> ServiceProcess::ReadWork(const std::string& name) const {
  return ReadFile(work_.File(name));
}

std::vector<std::string> ServiceProcess::Environment() const {
  return {"VOKELMNG_CONFIG_DIR=" + config_dir(), "VOKELMNG_UNIT_DIR=" + config_dir()};
}

bool ServiceProcess::Start(const std::vector<std::string>& args, uint16_t wait_port,
                           int timeout_ms) {
  ProgramResult reg = RunProgram({"VoKelMng", "-RegServer"}, timeout_ms, Environment(), work_dir());
  if (reg.status != 0) {
    error_ = "-RegServer failed: " + std::to_string(reg.status) + " " + reg.out + reg.err;
    return false;
  }
  std::vector<std::string> argv = {ProgramPath("VoKelMng")};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::ChildOptions options;
  options.env = Environment();
  options.cwd = work_dir();
  options.output = logs_.File("output");
  if (!child_.Start(argv, options)) {
    error_ = "fork failed";
    return false;
  }
  if (wait_port == 0) return true;
  int64_t deadline = NowMs() + timeout_ms;
  while (!IsListening(wait_port)) {
    if (!Running() || RemainingMs(deadline) == 0) {
      error_ = "the command port did not come up; output: " + Output();
      Stop(1000);
      return false;
    }
    SleepMs(20);
  }
  return true;
}

bool ServiceProcess::Running() { return child_.Running(); }

int ServiceProcess::Stop(int timeout_ms) { return child_.Stop(timeout_ms); }

}  // namespace e2e
