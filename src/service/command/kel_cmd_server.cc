#include "service/command/kel_cmd_server.h"

#include <cstring>
#include <string>
#include <utility>

#include "common/syslog.h"
#include "common/text_util.h"
#include "platform/profile.h"
#include "platform/socket_event.h"
#include "service/base/messages.h"
#include "service/command/command_stats.h"

namespace {

constexpr CKelMessageThread::Texts kTexts = {
    "I failed in making of an event handler for start confirmation to use in CKelCmdServer.",
    "I failed in making of a critical section in CKelCmdServer.\n",
    "I failed in making of a message thread to use in CKelCmdServer.",
    "CKelCmdServer::~CKelCmdServer: An error occurred in PostThreadMessage.",
};

// True when REMOTE of section SERVICE in VoKelMng.ini says "enable", in any letter case.
bool RemoteEnabled() {
  std::string value =
      platform::ReadProfileString("VoKelMng.ini", "SERVICE", "REMOTE", "disable", 256);
  StrLower(value.data());
  return std::strcmp(value.c_str(), "enable") == 0;
}

void Drop(platform::Socket s) {
  platform::SocketShutdownBoth(s);
  platform::SocketClose(s);
}

}  // namespace

CKelCmdServer::CKelCmdServer() : CKelMessageThread(kTexts) { StartMessageThread(); }

CKelCmdServer::~CKelCmdServer() {
  // The message thread goes first: after it (and the socket thread it stops) no one else
  // touches the slots.
  StopMessageThread();
  for (auto& slot : slots_) {
    if (!slot) continue;
    if (!slot->StopMessageThread()) {
      Syslog(kLogErr, "CKelCmdServer::~CKelCmdServer: An error occurred in PostThreadMessage.");
    }
    slot.reset();
  }
}

bool CKelCmdServer::Start(uint16_t port, CommandTlsPort tlsPort) {
  if (port == 0 || !exit_event_.ok()) return false;
  port_ = port;
  tls_ = std::move(tlsPort);
  return socket_thread_.Start([this] { ThreadProc(); });
}

void CKelCmdServer::OnMessage(const platform::Message& msg) {
  const KelMessages& m = Msg();
  if (msg.message == m.protocolExit) {
    std::unique_ptr<CKelCmdProtocol> ended;
    {
      // The socket thread may have reaped this connection already and given its slot to a
      // new one, which is left alone.
      std::lock_guard<std::mutex> hold(slots_mutex_);
      if (msg.wParam < static_cast<uint32_t>(kSlots) && slots_[msg.wParam] &&
          slots_[msg.wParam]->Ended()) {
        ended = std::move(slots_[msg.wParam]);
      }
    }
    if (ended) CommandPortStats().ConnectionClosed();
    ended.reset();  // waits for the connection's threads, outside the lock
  } else if (msg.message == m.protocolRecv) {
    if (!PostMessageMainThread(m.protocolRecv, msg.wParam, msg.lParam)) {
      Syslog(kLogErr, "CKelCmdServer::MsgProc: An error occurred in PostMessageMainThread.");
    }
  }
}

void CKelCmdServer::OnQuit() {
  exit_event_.Set();
  socket_thread_.Join();
}

void CKelCmdServer::ReportFromSocketThread(uint32_t message) {
  if (!PostMessageMainThread(message, 0, 0)) {
    Syslog(kLogErr, "CKelCmdServer::ThreadProc: An error occurred in PostMessageMainThread.");
  }
}

// A bound, listening socket, or kInvalidSocket. Address reuse lets a restarted service bind
// while connections of the previous run linger in TIME_WAIT; it never shares a live listener.
platform::Socket CKelCmdServer::OpenListener(uint16_t port) {
  platform::Socket s = platform::SocketTcp();
  if (s == platform::kInvalidSocket) return s;
  platform::SocketSetReuseAddr(s, true);
  if (platform::SocketBind(s, 0, port) != 0 || platform::SocketListen(s) != 0) {
    platform::SocketClose(s);
    return platform::kInvalidSocket;
  }
  return s;
}

void CKelCmdServer::ThreadProc() {
  const KelMessages& m = Msg();
  platform::Socket listener = OpenListener(port_);
  platform::SocketEvent events;
  if (listener == platform::kInvalidSocket || !events.ok() ||
      events.Select(listener, platform::kFdAccept | platform::kFdClose) != 0) {
    Syslog(kLogCrit, "I failed in bind for command processing.");
    if (listener != platform::kInvalidSocket) platform::SocketClose(listener);
    ReportFromSocketThread(m.serverError);
    ReportFromSocketThread(m.serverExit);
    return;
  }
  events.Reset();
  platform::Socket tlsListener = platform::kInvalidSocket;
  platform::SocketEvent tlsEvents;
  if (tls_.port != 0) {
    tlsListener = OpenListener(tls_.port);
    if (tlsListener == platform::kInvalidSocket || !tlsEvents.ok() ||
        tlsEvents.Select(tlsListener, platform::kFdAccept | platform::kFdClose) != 0) {
      Syslog(kLogErr, "I failed in bind for the TLS command port %u.",
             static_cast<unsigned>(tls_.port));
      if (tlsListener != platform::kInvalidSocket) platform::SocketClose(tlsListener);
      tlsListener = platform::kInvalidSocket;
    } else {
      tlsEvents.Reset();
    }
  }
  CommandPortStats().SetListening(true);
  platform::Waitable* handles[] = {&exit_event_, &events, &tlsEvents};
  const int count = tlsListener != platform::kInvalidSocket ? 3 : 2;
  for (;;) {
    int which = platform::WaitAny(handles, count, platform::kInfinite);
    if (which == 0) break;
    platform::NetworkEvents ne;
    if (which == 2) {
      if (tlsEvents.Enum(&ne) == 0 && (ne.events & platform::kFdAccept)) {
        AcceptOne(tlsListener, tls_.context.get());
      }
      continue;
    }
    if (which != 1 || events.Enum(&ne) != 0) {
      ReportFromSocketThread(m.serverError);
      break;
    }
    if (ne.events & platform::kFdAccept) AcceptOne(listener, nullptr);
    if (ne.events & platform::kFdClose) break;
  }
  CommandPortStats().SetListening(false);
  if (tlsListener != platform::kInvalidSocket) platform::SocketClose(tlsListener);
  platform::SocketClose(listener);
  ReportFromSocketThread(m.serverExit);
}

// A TLS client (`tls` set) is admitted from any address: its certificate is its admission.
void CKelCmdServer::AcceptOne(platform::Socket listener, tls::Context* tls) {
  uint32_t peer_addr = 0;
  uint16_t peer_port = 0;
  platform::Socket s = platform::SocketAccept(listener, &peer_addr, &peer_port);
  if (s == platform::kInvalidSocket) return;
  if (tls == nullptr && !RemoteEnabled()) {
    uint32_t addr = 0;
    if (platform::SocketPeerName(s, &addr, nullptr) != 0 ||
        addr != platform::InetAddr("127.0.0.1")) {
      CommandPortStats().ConnectionRefused();
      Drop(s);
      return;
    }
  }
  if (!GiveConnection(s, peer_addr, peer_port, tls)) {
    CommandPortStats().ConnectionRefused();
    Drop(s);
    ReportFromSocketThread(Msg().serverError);
  }
}

int CKelCmdServer::FreeSlot() {
  std::lock_guard<std::mutex> hold(slots_mutex_);
  for (int i = 0; i < kSlots; ++i) {
    if (!slots_[i]) return i;
  }
  return -1;
}

// Every slot is held. A connection that has ended, or whose client has closed, is only
// waiting to be reaped by the message thread; a client that reconnects at once must not be
// refused for it. So one such connection is reaped here, after waiting briefly for it to
// answer what its client sent before closing. -1 when every slot holds a live client.
int CKelCmdServer::ReapEndedSlot() {
  constexpr int kEndWaitMs = 1000;
  int slot = -1;
  std::unique_ptr<CKelCmdProtocol> gone;
  {
    std::lock_guard<std::mutex> hold(slots_mutex_);
    for (int i = 0; i < kSlots && slot < 0; ++i) {
      if (slots_[i] && slots_[i]->Ended()) slot = i;
    }
    for (int i = 0; i < kSlots && slot < 0; ++i) {
      if (slots_[i] && slots_[i]->PeerClosed()) slot = i;
    }
    if (slot < 0) return -1;
    gone = std::move(slots_[slot]);
  }
  if (!gone->WaitEnded(kEndWaitMs)) {
    // Still busy: it keeps its slot (only this thread fills slots, so it is still empty). Its
    // exit, reported from now on, finds it there; one reported while it was out is not
    // waited for.
    std::lock_guard<std::mutex> hold(slots_mutex_);
    if (!gone->Ended()) {
      slots_[slot] = std::move(gone);
      return -1;
    }
  }
  CommandPortStats().ConnectionClosed();
  gone.reset();  // waits for the connection's threads, outside the lock
  return slot;
}

bool CKelCmdServer::GiveConnection(platform::Socket s, uint32_t peer_addr, uint16_t peer_port,
                                   tls::Context* tls) {
  int slot = FreeSlot();
  if (slot < 0) slot = ReapEndedSlot();
  if (slot < 0) return false;
  std::unique_ptr<CKelCmdProtocol> connection;
  try {
    connection.reset(new CKelCmdProtocol());
    connection->SaveThreadID(MessageThreadId());
  } catch (...) {
    Syslog(kLogCrit, "I failed in making of CKelCmdProtocol.");
    return false;
  }
  std::unique_ptr<CKelCmdProtocol> failed;
  std::lock_guard<std::mutex> hold(slots_mutex_);
  CKelCmdProtocol* started = connection.get();
  slots_[slot] = std::move(connection);
  if (started->Start(s, peer_addr, peer_port, slot, tls)) {
    CommandPortStats().ConnectionOpened();
    return true;
  }
  failed = std::move(slots_[slot]);
  return false;
}
