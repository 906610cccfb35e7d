#include "service/command/kel_cmd_protocol.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "common/socket_io.h"
#include "common/syslog.h"
#include "platform/socket_send.h"
#include "service/base/messages.h"
#include "service/command/command_tls.h"

namespace {

constexpr CKelMessageThread::Texts kTexts = {
    "I failed in making of an event handler for start confirmation to use in CKelCmdProtocol.",
    "I failed in making of a critical section in CKelCmdProtocol.\n",
    "I failed in making of a message thread to use in CKelCmdProtocol.",
    nullptr,
};

void LogSocketError(int code) {
  char name[32];
  Syslog(kLogErr, "An error occurred. A cause is %s.", WsaErrorNameForLog(code, name, sizeof name));
}

}  // namespace

CKelCmdProtocol::CKelCmdProtocol(const CommandRow* table, size_t rows)
    // A connection is made on the accept path: a settling pause there would let a burst of
    // connects queue up in the listener and keep every later client waiting for its greeting.
    : CKelMessageThread(kTexts, 0), table_(table), rows_(rows) {
  StartMessageThread();
}

CKelCmdProtocol::~CKelCmdProtocol() { StopMessageThread(); }

bool CKelCmdProtocol::Start(platform::Socket s, uint32_t peer_addr, uint16_t peer_port, int slot,
                            tls::Context* tls) {
  socket_ = s;
  tls_ = tls;
  peer_addr_ = peer_addr;
  peer_port_ = peer_port;
  slot_ = static_cast<uint32_t>(slot);
  if (!exit_event_.ok() || !send_event_.ok()) return false;
  // Replies go out in several small writes; they must not wait for the peer's acknowledgements.
  platform::SocketSetNoDelay(s, true);
  if (!QueuePrompt(true)) return false;
  {
    std::lock_guard<std::mutex> hold(socket_mutex_);
    socket_open_ = true;
  }
  if (socket_thread_.Start([this] { ThreadProc(); })) return true;
  std::lock_guard<std::mutex> hold(socket_mutex_);
  socket_open_ = false;
  return false;
}

// The socket thread may be blocked in a handler's send to a peer that does not read; shutting
// the socket down ends that send, so stopping never waits on a peer.
void CKelCmdProtocol::OnQuit() {
  stopping_.store(true);
  exit_event_.Set();
  {
    std::lock_guard<std::mutex> hold(socket_mutex_);
    if (socket_open_) platform::SocketShutdownBoth(socket_);
  }
  socket_thread_.Join();
}

void CKelCmdProtocol::Notify(uint32_t message, uint32_t wParam) {
  PostMessageMainThread(message, wParam, 0);
}

void CKelCmdProtocol::CloseSocket() {
  if (channel_ != nullptr) channel_->Shutdown();  // the close notification, if it fits
  std::lock_guard<std::mutex> hold(socket_mutex_);
  platform::SocketShutdownBoth(socket_);
  platform::SocketClose(socket_);
  socket_open_ = false;
}

void CKelCmdProtocol::ThreadProc() {
  platform::SocketEvent events;
  const long mask =
      platform::kFdRead | platform::kFdWrite | platform::kFdConnect | platform::kFdClose;
  if (tls_ != nullptr && !StartTls()) {
    CloseSocket();
    MarkEnded();
    Notify(Msg().protocolExit, slot_);
    return;
  }
  if (!events.ok() || events.Select(socket_, mask) != 0) {
    Notify(Msg().protocolError, slot_);
    CloseSocket();
    MarkEnded();
    Notify(Msg().protocolExit, slot_);
    return;
  }
  events.Reset();
  socket_events_ = &events;
  platform::Waitable* handles[] = {&exit_event_, &events, &send_event_};
  while (!stopping_.load()) {
    int which = platform::WaitAny(handles, 3, platform::kInfinite);
    if (which == 0) break;
    if (which == 1) {
      if (!HandleNetworkEvents(events)) break;
    } else if (which == 2) {
      if (!SendOne()) break;
    } else {
      Notify(Msg().protocolError, slot_);
      break;
    }
  }
  socket_events_ = nullptr;
  CloseSocket();
  MarkEnded();
  Notify(Msg().protocolExit, slot_);
}

void CKelCmdProtocol::MarkEnded() {
  std::lock_guard<std::mutex> hold(ended_mutex_);
  ended_.store(true);
  ended_cv_.notify_all();
}

bool CKelCmdProtocol::WaitEnded(int timeout_ms) {
  std::unique_lock<std::mutex> hold(ended_mutex_);
  return ended_cv_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                            [this] { return ended_.load(); });
}

bool CKelCmdProtocol::PeerClosed() {
  std::lock_guard<std::mutex> hold(socket_mutex_);
  return !socket_open_ || platform::SocketPeerClosed(socket_);
}

// The handshake, before anything else is sent (the greeting waits in the queue). A client that
// is not admitted, or does not finish within the time, leaves one warning line.
bool CKelCmdProtocol::StartTls() {
  if (platform::SocketSetNonBlocking(socket_, true) != 0) return false;
  channel_ = std::make_unique<tls::Channel>(*tls_, socket_);
  if (tls::HandshakeWithin(*channel_, socket_, kCommandTlsHandshakeMs, exit_event_.fd()) ==
      tls::kDone) {
    peer_subject_ = channel_->PeerSubject();
    return true;
  }
  if (!stopping_.load()) {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&peer_addr_);
    Syslog(kLogWarning, "TLS handshake with command client %u.%u.%u.%u:%u failed: %s.", a[0], a[1],
           a[2], a[3], static_cast<unsigned>(peer_port_), channel_->reason().c_str());
  }
  channel_.reset();  // nothing more goes out on it, not even a close notification
  return false;
}

bool CKelCmdProtocol::HandleNetworkEvents(platform::SocketEvent& events) {
  platform::NetworkEvents ne;
  if (events.Enum(&ne) != 0) return false;
  if (ne.events == 0) return true;
  if (ne.events & platform::kFdConnect) {
    if (ne.connect_error != 0) return false;
    Notify(Msg().protocolConnect, slot_);
  }
  if (ne.events & platform::kFdRead) {
    // The replies and prompts of what was received leave together in one write: the handlers
    // and the prompts write many small pieces, gathered here. What was gathered goes out even
    // when the line ends the connection (`exit` answers before the close).
    bool served = false;
    std::string gathered;
    {
      SocketSendBatch::Writer tlsWriter;
      if (channel_ != nullptr) {
        tlsWriter = [this](const char* text, size_t length) { return WriteTls(text, length); };
      }
      SocketSendBatch batch(socket_, std::move(tlsWriter));
      served = (channel_ != nullptr ? ReceiveTls() : Receive()) && SendOne();
      gathered = batch.Take();
    }
    bool written = gathered.empty() || SendText(gathered.data(), gathered.size());
    if (!served || !written) return false;
  }
  if (ne.events & platform::kFdWrite) {
    if (!SendOne()) return false;
    Notify(Msg().protocolSend, slot_);
  }
  return (ne.events & platform::kFdClose) == 0;
}

// Takes what is waiting, a chunk per receive, and assembles lines from it byte by byte; a line
// is run as soon as its line feed has been taken. A short chunk means nothing more is waiting
// (more arriving later is reported again).
bool CKelCmdProtocol::Receive() {
  char chunk[kReceiveChunk];
  for (;;) {
    int n = platform::SocketRecv(socket_, chunk, sizeof chunk);
    if (n < 0) {
      if (platform::LastSocketError() == platform::kWsaEwouldblock) return true;
      LogSocketError(platform::LastSocketError());
      lines_.Reset();
      return false;
    }
    for (int i = 0; i < n; ++i) {
      if (stopping_.load()) return true;
      if (!TakeByte(chunk[i])) return false;
    }
    if (static_cast<size_t>(n) < sizeof chunk) return true;
  }
}

// The same through the TLS channel, which is read until it has nothing more: bytes it has
// already decrypted would not wake the socket again. The client's close notification ends the
// connection once what came before it has been answered.
bool CKelCmdProtocol::ReceiveTls() {
  char chunk[kReceiveChunk];
  for (;;) {
    int n = channel_->Read(chunk, sizeof chunk);
    if (n == tls::kWantRead) return true;
    if (n == tls::kWantWrite) {
      if (!WaitSocket(n)) return false;
      continue;
    }
    if (n == 0) return false;
    if (n < 0) {
      Syslog(kLogErr, "An error occurred. A cause is %s.", channel_->reason().c_str());
      lines_.Reset();
      return false;
    }
    for (int i = 0; i < n; ++i) {
      if (stopping_.load()) return true;
      if (!TakeByte(chunk[i])) return false;
    }
  }
}

// One byte of the line (see CommandLineAssembler); a completed line is run at once.
bool CKelCmdProtocol::TakeByte(char c) {
  switch (lines_.Take(c)) {
    case CommandLineAssembler::Step::kMore:
      return true;
    case CommandLineAssembler::Step::kComplete:
      return CompleteLine();
    case CommandLineAssembler::Step::kFailed:
      break;
  }
  return false;
}

// The greeting and every earlier prompt go out before the line's reply, and the line's prompt
// right after it, so the peer sees each reply followed by its prompt in order, whatever its
// timing, and a line before `exit` or a half-close has its prompt out before the close.
bool CKelCmdProtocol::CompleteLine() {
  std::unique_ptr<CKelCmdProtocolData> line = lines_.TakeLine();
  if (!FlushQueue()) return false;
  CommandAudit& audit = CommandPortAudit();
  // The dispatcher splits the line in place: the audit keeps it as it came.
  std::string text;
  if (audit.Enabled()) text = line->buffer();
  DispatchResult result = DispatchCommandLine(socket_, line->buffer(), table_, rows_);
  line.reset();
  // Recorded before the prompt goes out, whether or not the connection goes on.
  if (audit.Enabled()) audit.Record(Origin(), text, result.refusal);
  if (result.end) return false;
  if (result.family != CommandFamily::kNone) {
    PostMessageMainThread(Msg().protocolRecv, static_cast<uint32_t>(result.family),
                          static_cast<uint32_t>(result.value));
  }
  return QueuePrompt(false) && FlushQueue();
}

CommandOrigin CKelCmdProtocol::Origin() const {
  CommandOrigin origin;
  origin.address = peer_addr_;
  origin.port = peer_port_;
  origin.subject = peer_subject_;
  return origin;
}

bool CKelCmdProtocol::QueuePrompt(bool signal) {
  CKelCmdProtocolData* prompt = new (std::nothrow) CKelCmdProtocolData();
  if (prompt == nullptr) {
    Syslog(kLogCrit, "I failed in making of CKelCmdProtocolData.");
    return false;
  }
  if (!prompt->Create(CKelCmdProtocolData::kBlockSize)) {
    delete prompt;
    return false;
  }
  std::memcpy(prompt->buffer(), "$ ", 2);
  prompt->length = 2;
  try {
    send_queue_.AddTail(prompt);
  } catch (const char* text) {
    Syslog(kLogCrit, "%s", text);
    delete prompt;
    return false;
  }
  if (signal) send_event_.Set();
  return true;
}

// Writes the oldest queued item. One item per call; while more wait, the send event is set
// again so that they go out without further input from the peer.
bool CKelCmdProtocol::SendOne() {
  if (stopping_.load()) return false;
  CKelListLock hold(send_queue_);
  if (send_queue_.IsEmpty(1)) return true;
  auto* item = static_cast<CKelCmdProtocolData*>(send_queue_.GetHead(1)->data);
  if (!SendText(item->buffer(), item->length)) return false;
  send_queue_.RemoveHead(1);
  if (!send_queue_.IsEmpty(1)) send_event_.Set();
  return true;
}

// Writes every queued item, oldest first.
bool CKelCmdProtocol::FlushQueue() {
  for (;;) {
    {
      CKelListLock hold(send_queue_);
      if (send_queue_.IsEmpty(1)) return true;
    }
    if (!SendOne()) return false;
  }
}

// Sends every byte, waiting for room on the socket or for the exit event, whichever first.
// While the replies of received lines are gathered, the text joins them (in order) instead.
bool CKelCmdProtocol::SendText(const char* text, size_t length) {
  if (SocketSendBatch* batch = SocketSendBatch::For(socket_)) {
    batch->Append(text, length);
    if (!batch->Full()) return true;
    std::string gathered = batch->Take();
    return WriteText(gathered.data(), gathered.size());
  }
  return WriteText(text, length);
}

bool CKelCmdProtocol::WriteText(const char* text, size_t length) {
  if (channel_ != nullptr) return WriteTls(text, length);
  platform::SocketWritable room(socket_);
  platform::Waitable* handles[] = {&exit_event_, &room};
  size_t sent = 0;
  while (sent < length) {
    int n = platform::SocketSend(socket_, text + sent, length - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && platform::LastSocketError() != platform::kWsaEwouldblock) {
      LogSocketError(platform::LastSocketError());
      return false;
    }
    if (socket_events_ != nullptr) socket_events_->NoteWouldBlock();
    if (platform::WaitAny(handles, 2, platform::kInfinite) != 1) return false;
  }
  return true;
}

bool CKelCmdProtocol::WriteTls(const char* text, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    int n = channel_->Write(text + sent, length - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n == tls::kFailed) {
      Syslog(kLogErr, "An error occurred. A cause is %s.", channel_->reason().c_str());
      return false;
    }
    if (!WaitSocket(n)) return false;
  }
  return true;
}

bool CKelCmdProtocol::WaitSocket(int want) {
  platform::SocketWritable room(socket_);
  platform::SocketReadable bytes(socket_);
  platform::Waitable* handles[] = {&exit_event_, want == tls::kWantWrite
                                                     ? static_cast<platform::Waitable*>(&room)
                                                     : static_cast<platform::Waitable*>(&bytes)};
  return platform::WaitAny(handles, 2, platform::kInfinite) == 1;
}
