#include "common/syslog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/profile.h"
#include "platform/socket.h"

namespace {

constexpr uint16_t kSyslogPort = 514;
constexpr size_t kNameSize = 1024;  // tag, host name and destination texts
constexpr size_t kAreaSize = 1024;  // header area, and the caller's text area after it
constexpr uint32_t kAddressNone = 0xFFFFFFFFu;
constexpr int kOptionConnectNow = 8;

const char* const kSeverityNames[] = {"emerg",   "alert",  "crit", "err",
                                      "warning", "notice", "info", "debug"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The process-wide client. The mutex guards the socket's opening and closing and the texts the
// header is built from; the datagram itself is sent outside it.
struct SyslogState {
  std::mutex mutex;
  platform::Socket socket = platform::kInvalidSocket;
  uint32_t destination = 0;  // network order; 0 when cleared
  char tag[kNameSize + 1] = "";
  char host[kNameSize + 1] = "";
  int facility = 8;  // user
  int option = 0;
  std::atomic<int> mask{kLogDebug};
  std::atomic<SyslogSink*> sink{nullptr};
  std::atomic<SyslogSink*> copy{nullptr};
};

SyslogState& State() {
  static SyslogState state;
  return state;
}

bool AcceptedFacility(int facility) {
  if (facility < 0 || facility % 8 != 0) return false;
  return facility <= 88 || (facility >= 128 && facility <= 184);
}

void CopyText(char* dest, const char* src) {
  std::strncpy(dest, src, kNameSize);
  dest[kNameSize] = '\0';
}

// Host name of the machine; without one, the first adapter's address.
void FillHostName(SyslogState& st) {
  st.host[0] = '\0';
  std::string name = platform::HostName();
  if (name.empty()) {
    name = platform::FirstAdapterAddress();
    if (name.empty()) {
      std::printf("Call to GetAdaptersInfo failed.\n");
      std::fflush(stdout);
      return;
    }
  }
  CopyText(st.host, name.c_str());
}

// REQUIRES: st.mutex held. Leaves st.socket invalid when any step fails.
void ConnectLocked(SyslogState& st) {
  std::string text =
      platform::ReadProfileString("syslog.ini", "SYSLOG", "DESTINATION", "127.0.0.1", kNameSize);
  platform::Socket s = platform::SocketUdp();
  if (s == platform::kInvalidSocket) return;
  uint32_t address = kAddressNone;
  SyslogDestinationAddress(text.c_str(), &address);
  // Source port 514 is a wish, not a need, and never taken from a syslog server of this
  // machine: bound here, the local server could not bind its own port after a restart.
  if (address != kAddressNone && !platform::IsLocalAddress(address)) {
    platform::SocketBind(s, 0, kSyslogPort);
  }
  st.destination = address;
  // A text that is no address must not turn into the broadcast address.
  if (address == kAddressNone || platform::SocketConnect(s, address, kSyslogPort) != 0) {
    platform::SocketClose(s);
    st.destination = 0;
    return;
  }
  st.socket = s;
  FillHostName(st);
}

void CloseLocked(SyslogState& st) {
  if (st.socket != platform::kInvalidSocket) platform::SocketClose(st.socket);
  st.socket = platform::kInvalidSocket;
  st.destination = 0;
}

// REQUIRES: st.mutex held. Formats the header into buf (kAreaSize bytes); returns its length.
size_t FormatHeaderLocked(SyslogState& st, int priority, char* buf) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return FormatSyslogHeader(buf, kAreaSize, priority, local, st.host, st.tag);
}

}  // namespace

size_t FormatSyslogHeader(char* buf, size_t size, int priority, const std::tm& local,
                          const char* host, const char* tag) {
  if (size == 0) return 0;
  bool has_tag = tag[0] != '\0';
  int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  int n = std::snprintf(buf, size, "<%d>%s %.2d %.2d:%.2d:%.2d %s %s%s", priority, kMonths[month],
                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, host, tag,
                        has_tag ? ": " : "");
  if (n < 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

bool SyslogDestinationAddress(const char* text, uint32_t* address) {
  // A text that is no address must not turn into the broadcast address.
  uint32_t value = platform::InetAddr(text);
  *address = value;
  return value != kAddressNone;
}

int SyslogSeverityFromName(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < 8; ++i) {
    if (std::strcmp(name, kSeverityNames[i]) == 0) return i;
  }
  return -1;
}

void SyslogOpen(const char* tag, int option, int facility) {
  if (!AcceptedFacility(facility)) return;
  SyslogState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  if (tag != nullptr) CopyText(st.tag, tag);
  st.option = option;
  st.facility = facility;
  if (option == kOptionConnectNow && st.socket == platform::kInvalidSocket) ConnectLocked(st);
}

int SyslogSetMask(int level) {
  if (level == 0) return State().mask.load();
  return State().mask.exchange(level);
}

int Syslog(int severity, const char* format, ...) {
  SyslogState& st = State();
  if ((severity & 7) > st.mask.load()) return 0;
  char text[kAreaSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  size_t text_length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof text - 1);
  if (SyslogSink* sink = st.sink.load()) {
    sink->Write(severity & 7, std::string_view(text, text_length));
    return static_cast<int>(text_length);
  }
  if (SyslogSink* copy = st.copy.load())
    copy->Write(severity & 7, std::string_view(text, text_length));
  char buf[2 * kAreaSize];
  size_t header_length;
  platform::Socket s;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.socket == platform::kInvalidSocket) ConnectLocked(st);
    s = st.socket;
    if (s == platform::kInvalidSocket) return platform::kSocketError;
    header_length = FormatHeaderLocked(st, st.facility | severity, buf);
  }
  std::memcpy(buf + header_length, text, text_length);
  return platform::SocketSend(s, buf, header_length + text_length);
}

void SyslogSetSink(SyslogSink* sink) { State().sink.store(sink); }

void SyslogSetCopy(SyslogSink* copy) { State().copy.store(copy); }

void SyslogClose() {
  SyslogState& st = State();
  std::lock_guard<std::mutex> lock(st.mutex);
  CloseLocked(st);
}
