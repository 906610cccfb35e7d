// Shared set-up of the fuzz targets: logging swallowed (no datagram leaves the process), a
// private scratch folder as working and profile directory, and socketpair helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// Once per process: the null log sink, SIGPIPE ignored, a fresh folder under $TMPDIR (or /tmp)
// made the working directory and $VOKELMNG_CONFIG_DIR. Returns that folder.
const std::string& SetUp();

// Writes `data` to `path` whole; false on failure.
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);

// A connected AF_UNIX stream pair; `data` is written into fds[1], whose writing side is then
// shut down so that the reader of fds[0] sees the end after the bytes. false on failure.
bool FeedSocketPair(const uint8_t* data, size_t size, int fds[2]);

// Reads and drops whatever waits on `fd` without blocking.
void Drain(int fd);

}  // namespace fuzzsupport
