#include "pvsim_http.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/tls_channel.h"

namespace pvsim {

double NowSeconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

namespace {

constexpr size_t kHeaderLimit = 64 * 1024;
constexpr size_t kBodyLimit = 1024 * 1024;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Reads more bytes into *buffer; false when the peer closed or failed.
bool Fill(int fd, std::string* buffer, tls::Channel* channel) {
  char chunk[4096];
  for (;;) {
    // The socket blocks, so the channel answers with bytes, the end or a failure.
    ssize_t n =
        channel != nullptr ? channel->Read(chunk, sizeof chunk) : recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      buffer->append(chunk, static_cast<size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

bool ParseHead(const std::string& head, Request* out) {
  size_t lineEnd = head.find("\r\n");
  std::string first = head.substr(0, lineEnd);
  size_t a = first.find(' ');
  size_t b = a == std::string::npos ? a : first.find(' ', a + 1);
  if (b == std::string::npos) return false;
  out->method = first.substr(0, a);
  out->path = first.substr(a + 1, b - a - 1);
  out->version = first.substr(b + 1);
  out->headers.clear();
  for (size_t pos = lineEnd + 2; pos < head.size();) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      out->headers.emplace_back(Lower(Trim(line.substr(0, colon))), Trim(line.substr(colon + 1)));
    }
    pos = end + 2;
  }
  return true;
}

int DecodeChar(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

}  // namespace

std::string Request::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return "";
}

bool Request::KeepAlive() const {
  std::string connection = Lower(Header("connection"));
  if (version == "HTTP/1.0") return connection.find("keep-alive") != std::string::npos;
  return connection.find("close") == std::string::npos;
}

int ReadRequest(int fd, std::string* buffer, Request* out, tls::Channel* channel) {
  size_t headEnd;
  while ((headEnd = buffer->find("\r\n\r\n")) == std::string::npos) {
    if (buffer->size() > kHeaderLimit) return -1;
    if (!Fill(fd, buffer, channel)) return buffer->empty() ? 0 : -1;
  }
  if (!ParseHead(buffer->substr(0, headEnd), out)) return -1;
  std::string lengthText = out->Header("content-length");
  char* end = nullptr;
  unsigned long length = std::strtoul(lengthText.c_str(), &end, 10);
  if (!lengthText.empty() && (*end != '\0' || length > kBodyLimit)) return -1;
  size_t total = headEnd + 4 + length;
  while (buffer->size() < total) {
    if (!Fill(fd, buffer, channel)) return -1;
  }
  out->body = buffer->substr(headEnd + 4, length);
  buffer->erase(0, total);
  out->received = NowSeconds();
  return 1;
}

std::vector<std::pair<std::string, std::string>> ParseForm(const std::string& body) {
  std::vector<std::pair<std::string, std::string>> fields;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t amp = body.find('&', pos);
    size_t eq = body.find('=', pos);
    if (body.compare(pos, 4, "acl=") == 0) {
      fields.emplace_back("acl", body.substr(pos + 4));
      break;
    }
    size_t end = amp == std::string::npos ? body.size() : amp;
    if (eq != std::string::npos && eq < end) {
      fields.emplace_back(body.substr(pos, eq - pos), body.substr(eq + 1, end - eq - 1));
    } else {
      fields.emplace_back(body.substr(pos, end - pos), "");
    }
    pos = end + 1;
  }
  return fields;
}

bool DecodeBasic(const std::string& header, std::string* user, std::string* password) {
  if (Lower(header.substr(0, 6)) != "basic ") return false;
  std::string encoded = Trim(header.substr(6));
  std::string decoded;
  uint32_t bits = 0;
  int count = 0;
  for (char c : encoded) {
    if (c == '=') break;
    int value = DecodeChar(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      decoded += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  *user = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return true;
}

std::string BuildAnswer(int status, const std::string& body, bool chunked, bool noLength,
                        bool keepAlive) {
  std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
  answer += "Server: pvsim\r\nContent-Type: text/plain\r\n";
  answer += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  if (chunked) {
    answer += "Transfer-Encoding: chunked\r\n\r\n";
    if (!body.empty()) {
      char size[24];
      std::snprintf(size, sizeof size, "%zx", body.size());
      answer += std::string(size) + "\r\n" + body + "\r\n";
    }
    return answer + "0\r\n\r\n";
  }
  if (!noLength) answer += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return answer + "\r\n" + body;
}

}  // namespace pvsim
