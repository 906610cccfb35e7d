// CKelCmdServer: the command port. Its socket thread listens on every local IPv4 address,
// applies the REMOTE rule of VoKelMng.ini (read again for every connection) and gives each
// accepted connection one of ten slots; beside it, when configured, the TLS command port takes
// clients from any address into the same ten slots (see command_tls.h); its message thread destroys
// a connection when it reports its end and relays WM_PROTOCOL_RECV to the saved ThreadID (the
// controller). A connection whose client has gone gives up its slot before the next connection is
// judged.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "service/base/message_thread.h"
#include "service/command/command_tls.h"
#include "service/command/kel_cmd_protocol.h"

class CKelCmdServer : public CKelMessageThread {
 public:
  static constexpr int kSlots = 10;

  // Starts the message thread; throws the construction texts on failure.
  CKelCmdServer();
  // Stops both threads, then every connection still open.
  ~CKelCmdServer() override;

  // Starts listening on `port` from the socket thread. false when the port is 0 or the thread
  // cannot be made; a listener that cannot be set up is reported by the socket thread
  // (logged, then WM_SERVER_ERROR and WM_SERVER_EXIT). A TLS port in `tlsPort` that cannot be
  // set up is logged and left out; the plain port goes on. REQUIRES: called once.
  bool Start(uint16_t port, CommandTlsPort tlsPort = CommandTlsPort());

 private:
  void OnMessage(const platform::Message& msg) override;
  void OnQuit() override;
  void ThreadProc();
  platform::Socket OpenListener(uint16_t port);
  void AcceptOne(platform::Socket listener, tls::Context* tls);
  bool GiveConnection(platform::Socket s, uint32_t peer_addr, uint16_t peer_port,
                      tls::Context* tls);
  int FreeSlot();
  int ReapEndedSlot();
  void ReportFromSocketThread(uint32_t message);

  platform::Thread socket_thread_;
  platform::Event exit_event_;
  uint16_t port_ = 0;
  CommandTlsPort tls_;
  // The socket thread fills empty slots (holding the lock until the connection has started);
  // the message thread empties slots whose connection has ended, and so does the socket thread
  // when every slot is held; so a connection is never destroyed mid-start.
  std::mutex slots_mutex_;
  std::unique_ptr<CKelCmdProtocol> slots_[kSlots];  // guarded by slots_mutex_
};
