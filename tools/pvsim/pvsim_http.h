// The HTTP/1.1 pieces pvsim needs: reading a request off a connection, form and Basic
// credential decoding, and building an answer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tls {
class Channel;
}

namespace pvsim {

struct Request {
  std::string method;
  std::string path;
  std::string version;                                       // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  double received = 0;  // when the request was complete

  // The first header of that (lower-case) name, or "".
  std::string Header(const std::string& name) const;
  // HTTP/1.1 unless "Connection: close"; HTTP/1.0 only with "Connection: keep-alive".
  bool KeepAlive() const;
};

// Reads the next request from `fd` (through `channel` when the connection is TLS) into *out,
// keeping bytes that belong to a later request in *buffer. 1 for a request, 0 when the client
// closed cleanly, -1 on an error or a malformed request.
int ReadRequest(int fd, std::string* buffer, Request* out, tls::Channel* channel = nullptr);

// The fields of a form body in order. Values are taken raw; the "acl" value runs to the end
// of the body, since an access-list line is sent unencoded.
std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& body);

// Decodes "Basic BASE64(user:password)"; false when the header is not of that form.
bool DecodeBasic(const std::string& header, std::string* user, std::string* password);

// Seconds since 1970 with microseconds: when a request was complete, when a line is journalled.
double NowSeconds();

// The complete answer: status line, headers and body in the form asked for.
std::string BuildAnswer(int status, const std::string& body, bool chunked, bool noLength,
                        bool keepAlive);

}  // namespace pvsim
