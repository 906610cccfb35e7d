// pvsim's request reading: the input is what a client sent on one connection before closing
// it. Requests are read until the end, and each one's form and credentials are decoded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "pvsim_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::SetUp();
  int fds[2];
  if (!fuzzsupport::FeedSocketPair(data, size, fds)) return 0;
  std::string buffer;
  for (int requests = 0; requests < 64; ++requests) {
    pvsim::Request request;
    if (pvsim::ReadRequest(fds[0], &buffer, &request) != 1) break;
    if (request.body.size() > (1u << 20)) std::abort();
    pvsim::ParseForm(request.body);
    std::string user, password;
    pvsim::DecodeBasic(request.Header("authorization"), &user, &password);
    request.KeepAlive();
  }
  close(fds[0]);
  close(fds[1]);
  return 0;
}
