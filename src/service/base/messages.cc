#include "service/base/messages.h"

#include "platform/message_queue.h"

const KelMessages& Msg() {
  using platform::RegisterMessage;
  static const KelMessages table = {
      RegisterMessage("VOKELCMD:WM_PROTOCOL_ERROR"),
      RegisterMessage("VOKELCMD:WM_PROTOCOL_EXIT"),
      RegisterMessage("VOKELCMD:WM_PROTOCOL_CONNECT"),
      RegisterMessage("VOKELCMD:WM_PROTOCOL_SEND"),
      RegisterMessage("VOKELCMD:WM_PROTOCOL_RECV"),
      RegisterMessage("VOKELCMD:WM_SERVER_ERROR"),
      RegisterMessage("VOKELCMD:WM_SERVER_EXIT"),
      RegisterMessage("VOKELHTTPCLIENT:WM_THREAD_ERROR"),
      RegisterMessage("VOKELHTTPCLIENT:WM_THREAD_EXIT"),
      RegisterMessage("VOKELHTTPCLIENT:WM_HTTPCLIENT_ERROR"),
      RegisterMessage("VOKELHTTPCLIENT:WM_HTTPCLIENT_EXIT"),
      RegisterMessage("VOKELHTTPCLIENT:WM_HTTPCLIENT_SEND"),
      RegisterMessage("VOKELKEEPALIVE:WM_THREAD_ERROR"),
      RegisterMessage("VOKELKEEPALIVE:WM_THREAD_EXIT"),
      RegisterMessage("VOKELKEEPALIVE:WM_KEEPALIVE_ERROR"),
      RegisterMessage("VOKELKEEPALIVE:WM_KEEPALIVE_EXIT"),
      RegisterMessage("VOKELKEEPALIVE:WM_KEEPALIVE_START"),
      RegisterMessage("VOKELKEEPALIVE:WM_KEEPALIVE_STOP"),
  };
  return table;
}
