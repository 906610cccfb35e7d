#include "clients/client_exchange.h"

#include <cstring>

#include "clients/reply_reader.h"
#include "common/socket_io.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/socket_event.h"

namespace clients {
namespace {

void Print(FILE* out, const char* text, size_t length) {
  std::fwrite(text, 1, length, out);
  std::fflush(out);
}

void Print(FILE* out, const char* text) { Print(out, text, std::strlen(text)); }

// A connected TCP socket, or kInvalidSocket after printing the failure.
platform::Socket Connect(const ExchangeSettings& settings) {
  platform::Socket s = platform::SocketTcp();
  if (s == platform::kInvalidSocket) {
    Print(settings.out, "I failed in connection.\n");
    return s;
  }
  if (platform::SocketConnectTimed(s, settings.address, settings.port, settings.connect_ms, -1) !=
          0 ||
      platform::SocketSetNonBlocking(s, false) != 0) {
    Print(settings.out, "I failed in connection.\n");
    platform::SocketClose(s);
    return platform::kInvalidSocket;
  }
  return s;
}

bool SendCommand(platform::Socket s, const ExchangeSettings& settings) {
  if (SocketSendAll(s, settings.command.data(), settings.command.size()) < 0 ||
      SocketSendAll(s, "\r\n", 2) < 0) {
    Print(settings.out, "Transmission of a message abnormality occurred.\n");
    return false;
  }
  return true;
}

// Prompt, command, reply and the next prompt over a connected socket.
bool Converse(platform::Socket s, platform::SocketEvent* event, const ExchangeSettings& settings) {
  ReplyReader reader(s, event, settings.wait_ms, settings.out);
  do {  // whatever comes before the first prompt is not ours
    if (reader.ReadLine() < 0) return false;
  } while (!reader.HasPrompt());
  if (!SendCommand(s, settings)) return false;
  for (;;) {
    if (reader.ReadLine() < 0) return false;
    if (reader.HasPrompt()) return true;
    Print(settings.out, reader.line(), reader.length());
  }
}

}  // namespace

bool ExchangeOnce(const ExchangeSettings& settings) {
  platform::Socket s = Connect(settings);
  if (s == platform::kInvalidSocket) return false;
  bool succeeded = false;
  {
    platform::SocketEvent event;
    if (!event.ok() || event.Select(s, platform::kFdRead | platform::kFdClose) != 0) {
      Print(settings.out, "I failed in connection.\n");
    } else {
      succeeded = Converse(s, &event, settings);
    }
  }
  platform::SocketShutdownBoth(s);
  platform::SocketClose(s);
  return succeeded;
}

bool RunExchange(const ExchangeSettings& settings) {
  for (int attempt = 0; attempt < settings.attempts; ++attempt) {
    if (ExchangeOnce(settings)) return true;
    platform::SleepMs(static_cast<uint32_t>(settings.pause_ms));
  }
  return false;
}

}  // namespace clients
