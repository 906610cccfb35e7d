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

// Writes all of `text` through the channel, each wait for room within wait_ms.
bool WriteTls(platform::Socket s, tls::Channel* channel, const std::string& text, int wait_ms) {
  size_t sent = 0;
  while (sent < text.size()) {
    int n = channel->Write(text.data() + sent, text.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n == tls::kFailed || !tls::WaitReady(s, n, wait_ms)) {
      return false;
    }
  }
  return true;
}

bool SendCommand(platform::Socket s, tls::Channel* channel, const ExchangeSettings& settings) {
  bool sent = channel != nullptr
                  ? WriteTls(s, channel, std::string(settings.command) + "\r\n", settings.wait_ms)
                  : SocketSendAll(s, settings.command.data(), settings.command.size()) >= 0 &&
                        SocketSendAll(s, "\r\n", 2) >= 0;
  if (!sent) {
    Print(settings.out, "Transmission of a message abnormality occurred.\n");
    return false;
  }
  return true;
}

// Prompt, command, reply and the next prompt over a connected socket (through `channel` when
// it is not null).
bool Converse(platform::Socket s, platform::SocketEvent* event, tls::Channel* channel,
              const ExchangeSettings& settings) {
  ReplyReader reader(s, event, settings.wait_ms, settings.out, channel);
  do {  // whatever comes before the first prompt is not ours
    if (reader.ReadLine() < 0) return false;
  } while (!reader.HasPrompt());
  if (!SendCommand(s, channel, settings)) return false;
  for (;;) {
    if (reader.ReadLine() < 0) return false;
    if (reader.HasPrompt()) return true;
    Print(settings.out, reader.line(), reader.length());
  }
}

// The exchange, inside TLS when the settings ask for it: the handshake (the service's
// certificate checked) within the connect time, and the close notification at the end.
bool ConverseOver(platform::Socket s, platform::SocketEvent* event,
                  const ExchangeSettings& settings) {
  if (settings.tls == nullptr) return Converse(s, event, nullptr, settings);
  tls::Channel channel(*settings.tls, s, settings.peer);
  if (tls::HandshakeWithin(channel, s, settings.connect_ms) != tls::kDone) {
    Print(settings.out, ("I failed in TLS connection: " + channel.reason() + ".\n").c_str());
    return false;
  }
  bool succeeded = Converse(s, event, &channel, settings);
  channel.Shutdown();
  return succeeded;
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
      succeeded = ConverseOver(s, &event, settings);
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
