// The registered message numbers every component compares incoming messages against.
#pragma once

#include <cstdint>

struct KelMessages {
  uint32_t protocolError;    // VOKELCMD:WM_PROTOCOL_ERROR
  uint32_t protocolExit;     // VOKELCMD:WM_PROTOCOL_EXIT
  uint32_t protocolConnect;  // VOKELCMD:WM_PROTOCOL_CONNECT
  uint32_t protocolSend;     // VOKELCMD:WM_PROTOCOL_SEND
  uint32_t protocolRecv;     // VOKELCMD:WM_PROTOCOL_RECV
  uint32_t serverError;      // VOKELCMD:WM_SERVER_ERROR
  uint32_t serverExit;       // VOKELCMD:WM_SERVER_EXIT
  uint32_t httpThreadError;  // VOKELHTTPCLIENT:WM_THREAD_ERROR
  uint32_t httpThreadExit;   // VOKELHTTPCLIENT:WM_THREAD_EXIT
  uint32_t httpClientError;  // VOKELHTTPCLIENT:WM_HTTPCLIENT_ERROR
  uint32_t httpClientExit;   // VOKELHTTPCLIENT:WM_HTTPCLIENT_EXIT
  uint32_t httpClientSend;   // VOKELHTTPCLIENT:WM_HTTPCLIENT_SEND
  uint32_t kaThreadError;    // VOKELKEEPALIVE:WM_THREAD_ERROR
  uint32_t kaThreadExit;     // VOKELKEEPALIVE:WM_THREAD_EXIT
  uint32_t keepAliveError;   // VOKELKEEPALIVE:WM_KEEPALIVE_ERROR
  uint32_t keepAliveExit;    // VOKELKEEPALIVE:WM_KEEPALIVE_EXIT
  uint32_t keepAliveStart;   // VOKELKEEPALIVE:WM_KEEPALIVE_START
  uint32_t keepAliveStop;    // VOKELKEEPALIVE:WM_KEEPALIVE_STOP
};

// Registers every name on first use (the program calls it once at start) and returns the table.
const KelMessages& Msg();
