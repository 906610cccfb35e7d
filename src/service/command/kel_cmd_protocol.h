// CKelCmdProtocol: one accepted connection of the command port. Its socket thread reads the
// byte stream, assembles lines (backspace edits, a line ends at its line feed), runs each line
// through the command table and writes the prompt "$ " after it; its message thread only waits
// for the quit and then stops the socket thread. Notifications (slot index as wParam) go to
// the saved ThreadID, the command server's message thread. A connection of the TLS command port
// first completes its handshake (the client's certificate checked) within 10 s, then runs the
// same protocol through its channel.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/tls_channel.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "platform/socket_event.h"
#include "platform/thread.h"
#include "service/base/message_thread.h"
#include "service/command/command_audit.h"
#include "service/command/command_dispatch.h"
#include "service/command/command_line_assembler.h"
#include "service/command/command_table.h"
#include "service/command/kel_cmd_protocol_data.h"
#include "service/registry/kel_list.h"

class CKelCmdProtocol : public CKelMessageThread {
 public:
  // The longest line taken without its line feed; a longer one ends the connection.
  static constexpr size_t kMaxLineLength = CommandLineAssembler::kMaxLineLength;
  // The most bytes taken from the socket in one receive.
  static constexpr size_t kReceiveChunk = 4096;

  // Starts the message thread; throws the construction texts on failure.
  explicit CKelCmdProtocol(const CommandRow* table = kCommandTable,
                           size_t rows = kCommandTableRows);
  ~CKelCmdProtocol() override;

  // Serves the connected socket `s` (peer from the accept) in slot `slot`: queues the prompt
  // and starts the socket thread, which from then on owns and finally closes the socket.
  // false when the events, the prompt or the thread cannot be made; the caller keeps the socket.
  // With `tls` (which outlives the connection) the connection is TLS, served by that context.
  // REQUIRES: SaveThreadID was called; called once.
  bool Start(platform::Socket s, uint32_t peer_addr, uint16_t peer_port, int slot,
             tls::Context* tls = nullptr);

  // True once the socket thread has closed the socket and is reporting its exit: the
  // connection can be destroyed at once. Any thread.
  bool Ended() const { return ended_.load(); }
  // Waits up to `timeout_ms` for Ended(). Any thread.
  bool WaitEnded(int timeout_ms);
  // True when the client has closed its side: the connection answers what it sent and then
  // ends by itself. Any thread.
  bool PeerClosed();

 private:
  void MarkEnded();
  void OnQuit() override;
  void ThreadProc();
  bool StartTls();
  bool HandleNetworkEvents(platform::SocketEvent& events);
  bool Receive();
  bool ReceiveTls();
  bool TakeByte(char c);
  bool CompleteLine();
  // Appends "$ " to the send queue; `signal` sets the send event. A line's prompt needs no
  // signal: the read that ran the line sends one queued item next.
  bool QueuePrompt(bool signal);
  bool SendOne();
  bool FlushQueue();
  bool SendText(const char* text, size_t length);
  bool WriteText(const char* text, size_t length);
  bool WriteTls(const char* text, size_t length);
  // Waits until the socket is ready for `want` (tls::kWantRead / kWantWrite) or the exit event.
  bool WaitSocket(int want);
  void Notify(uint32_t message, uint32_t wParam);
  void CloseSocket();
  // The client as the audit trail names it.
  CommandOrigin Origin() const;

  const CommandRow* table_;
  size_t rows_;
  platform::Thread socket_thread_;
  platform::Event exit_event_;
  platform::Event send_event_;
  std::atomic<bool> stopping_{false};  // set by the message thread when told to quit
  std::atomic<bool> ended_{false};     // set by the socket thread as it ends
  std::mutex ended_mutex_;
  std::condition_variable ended_cv_;

  platform::Socket socket_ = platform::kInvalidSocket;
  std::mutex socket_mutex_;   // lets the message thread shut the socket down while it is open
  bool socket_open_ = false;  // guarded by socket_mutex_
  uint32_t peer_addr_ = 0;    // network order
  uint16_t peer_port_ = 0;
  // The client certificate's subject once a TLS handshake has checked it; empty on the plain
  // port. Written before the first line is run.
  std::string peer_subject_;
  uint32_t slot_ = 0;
  tls::Context* tls_ = nullptr;
  std::unique_ptr<tls::Channel> channel_;  // socket thread only, once the handshake began

  // Socket thread only (and Start, before that thread exists).
  CKelList send_queue_;  // of CKelCmdProtocolData
  CommandLineAssembler lines_;
  platform::SocketEvent* socket_events_ = nullptr;
};
