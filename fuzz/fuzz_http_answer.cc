// The sender's reading of router answers: the input is what a router sent on one keep-alive
// connection before closing it; answers are read from it as long as the connection stays
// usable. No answer may carry a body past the reader's limit.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.h"
#include "platform/event.h"
#include "service/transport/http_connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::SetUp();
  int fds[2];
  if (!fuzzsupport::FeedSocketPair(data, size, fds)) return 0;
  platform::Event end;
  std::atomic<bool> stop{false};
  {
    CHttpConnection connection(&end, &stop, 2000);
    if (!connection.Adopt(fds[0])) std::abort();
    for (int answers = 0; answers < 16; ++answers) {
      HttpAnswer answer;
      if (connection.ReadAnswer(&answer) != 0) break;
      if (answer.body.size() > (1u << 20)) {
        std::fprintf(stderr, "a body of %zu bytes\n", answer.body.size());
        std::abort();
      }
      if (!answer.reusable) break;
    }
  }  // closes fds[0]
  close(fds[1]);
  return 0;
}
