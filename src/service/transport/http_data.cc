#include "service/transport/http_data.h"

#include <cstdio>
#include <cstring>

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The router expects exactly these lines in this order; "KeepAlive" has no hyphen and the
// content type is text/html although the body is a form.
std::string FormatHeader(const std::string& credentials, const std::string& host,
                         size_t bodyLength) {
  std::string header = "POST /quarantine/qacl.cgi HTTP/1.1\r\n";
  header += "Accept: */*\r\n";
  header += "Accept-Language: en-us\r\n";
  header += "Authorization: Basic " + credentials + "\r\n";
  header += "User-Agent: VoKelMng/1.0\r\n";
  header += "Host: " + host + "\r\n";
  header += "Content-Type: text/html\r\n";
  header += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
  header += "Cache-Control: no-cache\r\n";
  header += "KeepAlive: timeout=5\r\n";
  header += "Connection: Keep-Alive\r\n";
  header += "\r\n";
  return header;
}

}  // namespace

void CHttpData::SetAddressBytes(const uint8_t bytes[4]) { std::memcpy(&address, bytes, 4); }

void CHttpData::AddressBytes(uint8_t bytes[4]) const { std::memcpy(bytes, &address, 4); }

std::string HeaderWithTerm(const std::string& header, int64_t term) {
  std::string line = "X-Vokel-Term: " + std::to_string(term) + "\r\n";
  size_t end = header.size() >= 2 ? header.size() - 2 : header.size();
  return header.substr(0, end) + line + header.substr(end);
}

bool IsSameHttpData(const CHttpData& a, const CHttpData& b) {
  return a.address == b.address && a.port == b.port && a.header == b.header && a.body == b.body;
}

bool Base64Encode(const void* bytes, size_t length, std::string* out) {
  if (bytes == nullptr || length == 0 || out == nullptr) return false;
  const auto* in = static_cast<const uint8_t*>(bytes);
  std::string text;
  text.reserve((length + 2) / 3 * 4);
  for (size_t i = 0; i < length; i += 3) {
    size_t left = length - i;
    uint32_t group = static_cast<uint32_t>(in[i]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(in[i + 1]) << 8;
    if (left > 2) group |= in[i + 2];
    text += kBase64Alphabet[(group >> 18) & 0x3F];
    text += kBase64Alphabet[(group >> 12) & 0x3F];
    text += left > 1 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
    text += left > 2 ? kBase64Alphabet[group & 0x3F] : '=';
  }
  *out = std::move(text);
  return true;
}

int CHttpDataList::MakeHttpData(CHttpData* request, const std::string& user,
                                const std::string& password, int version, LineClass lineClass,
                                RequestOpcode opcode, int count, const char* acl,
                                const std::string& host) {
  const char* classText = LineClassName(lineClass);
  if (request == nullptr || classText == nullptr) return 0;
  const char* opcodeText = RequestOpcodeName(opcode);
  if (opcodeText == nullptr) return 0;
  std::string body =
      "version=" + std::to_string(version) + "&class=" + classText + "&opcode=" + opcodeText;
  if (acl != nullptr) {
    // The line goes in as it is: routers read the raw text after "acl=", blanks included.
    body += "&count=" + std::to_string(count) + "&acl=" + acl;
  } else {
    body += "&count=0";
  }
  request->body = body;
  std::string credentials = user + ":" + password;
  std::string encoded;
  if (!Base64Encode(credentials.data(), credentials.size(), &encoded)) return 0;
  request->header = FormatHeader(encoded, host, request->body.size());
  return 1;
}

CHttpData* CHttpDataList::FindHttpData(const CHttpData& probe, int locked) {
  if (!locked) Lock();
  CHttpData* found = nullptr;
  for (CKelNode* node = GetHead(1); node != nullptr; node = GetNext(node, 1)) {
    auto* data = dynamic_cast<CHttpData*>(node->data);
    if (data != nullptr && IsSameHttpData(*data, probe)) {
      found = data;
      break;
    }
  }
  if (!locked) Unlock();
  return found;
}

CHttpDataList& HttpDataStore() {
  static CHttpDataList store;
  return store;
}
