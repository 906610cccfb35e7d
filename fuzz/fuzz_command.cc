// The command port's line handling: bytes are assembled into lines by the connection's own
// assembler (a backspace takes back a byte, a line feed ends the line, a line over 65,536 bytes
// ends the connection, as `exit` does), every line runs through the command table with every
// family's handler, and the replies go to a socket that a second thread drains. After the input the
// registries are settled as the service's planning leaves them (deleted entries gone), then every
// registry is saved and loaded back: what a family shows before the save and after the load must be
// the same.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "service/command/command_dispatch.h"
#include "service/command/command_line_assembler.h"
#include "service/command/command_table.h"
#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pv_data.h"
#include "service/registry/quarantine_data.h"

namespace {

int g_reply = -1;  // where the handlers write; its peer is drained by a thread

void StartDrain() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  g_reply = fds[0];
  std::thread([fd = fds[1]] {
    char chunk[65536];
    while (recv(fd, chunk, sizeof chunk, 0) > 0) {
    }
  }).detach();
}

// True when the connection would end after the line (`exit`, a failed reply).
bool RunLine(platform::Socket s, char* line) {
  return DispatchCommandLine(s, line, kCommandTable, kCommandTableRows).end;
}

bool RunLine(platform::Socket s, std::string line) {
  line.push_back('\0');
  return RunLine(s, line.data());
}

// The whole reply to `line`, read from a socketpair of its own.
std::string Capture(const char* line) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  int buffer = 4 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  std::string reply;
  std::thread reader([&reply, fd = fds[1]] {
    char chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, static_cast<size_t>(n));
  });
  RunLine(fds[0], line);
  shutdown(fds[0], SHUT_WR);
  reader.join();
  close(fds[0]);
  close(fds[1]);
  return reply;
}

void ExpectSame(const char* family, const std::string& before, const std::string& after) {
  if (before == after) return;
  std::fprintf(stderr, "%s: shown before the save:\n%s\nshown after the load:\n%s\n", family,
               before.c_str(), after.c_str());
  std::abort();
}

// What the service's planning does once the lines of a change are out: entries marked deleted
// go, added ones become plain entries.
void Settle(CKelList& list) {
  CKelListLock hold(list);
  CKelNode* node = list.GetHead(1);
  while (node != nullptr) {
    CKelNode* next = list.GetNext(node, 1);
    if (node->data->pendingDelete) {
      list.Remove(node, 1);
    } else {
      node->data->pendingAdd = 0;
    }
    node = next;
  }
}

void SettleRegistries() {
  Settle(PvList());
  {
    CKelListLock hold(PvList());
    for (CKelNode* node = PvList().GetHead(1); node != nullptr; node = PvList().GetNext(node, 1)) {
      Settle(static_cast<CPvData*>(node->data)->routes);
    }
  }
  Settle(PcList());
  Settle(QuarantineList());
  Settle(KelDataList());
}

// Save, then load: what was shown must come back.
void CheckRoundTrip() {
  std::string pv = Capture("pv show");
  std::string routes = Capture("pvroute show");
  std::string pcs = Capture("pc show");
  std::string servers = Capture("quarantine show");
  RunLine(g_reply, "pv save");
  RunLine(g_reply, "pvroute save");
  RunLine(g_reply, "pc save");
  RunLine(g_reply, "quarantine save");
  RunLine(g_reply, "pv load");
  RunLine(g_reply, "pvroute load");
  RunLine(g_reply, "pc load");
  RunLine(g_reply, "quarantine load");
  ExpectSame("pv", pv, Capture("pv show"));
  ExpectSame("pvroute", routes, Capture("pvroute show"));
  ExpectSame("pc", pcs, Capture("pc show"));
  ExpectSame("quarantine", servers, Capture("quarantine show"));
}

void ClearRegistries() {
  PvList().RemoveAll();
  PcList().RemoveAll();
  QuarantineList().RemoveAll();
  KelDataList().RemoveAll();
  for (const char* name : {"pv.csv", "pvroute.csv", "pc.csv", "quarantine.csv"}) unlink(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::SetUp();
  if (g_reply < 0) StartDrain();
  CommandLineAssembler lines;
  for (size_t i = 0; i < size; ++i) {
    CommandLineAssembler::Step step = lines.Take(static_cast<char>(data[i]));
    if (step == CommandLineAssembler::Step::kFailed) break;  // the connection ends
    if (step == CommandLineAssembler::Step::kComplete &&
        RunLine(g_reply, lines.TakeLine()->buffer())) {
      break;
    }
  }
  SettleRegistries();
  CheckRoundTrip();
  ClearRegistries();
  return 0;
}
