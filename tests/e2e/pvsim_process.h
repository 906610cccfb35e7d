// A router for black-box tests: testsupport::PvsimProcess running the built pvsim, with the
// routers' default credentials and a journal, one line per access-list request delivered.
//
// Like the rest of the harness this starts no thread; call it after ENTER_PRIVATE_NETWORK().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"
#include "pvsim.h"

namespace e2e {

using RouterRequest = testsupport::PvsimRequest;

class PvsimProcess : public testsupport::PvsimProcess {
 public:
  PvsimProcess() : testsupport::PvsimProcess(ProgramPath("pvsim")) {}

  // Starts pvsim on address:port with `extra` options ("--delay", "2000", ...) appended.
  bool Start(const std::string& address, uint16_t port = 880,
             const std::vector<std::string>& extra = {}) {
    testsupport::PvsimOptions options;
    options.port = port;
    options.extra = extra;
    return testsupport::PvsimProcess::Start(address, options);
  }
};

}  // namespace e2e
