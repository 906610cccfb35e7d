// The interface of the project's ping library (libvokelicmp.so): three C functions that the
// keepalive looks up by name after loading the library at run time.
#pragma once

#include <cstdint>

extern "C" {

// What IcmpSendEcho writes at the start of the reply buffer for the reply it got; the echoed
// data follows it as far as the buffer holds.
struct IcmpEchoReply {
  uint32_t address;        // the answering host, network order
  uint32_t status;         // 0: echo reply
  uint32_t roundTripTime;  // milliseconds
  uint16_t dataSize;       // bytes of echoed data
  uint16_t reserved;
};

// Opens a ping handle; nullptr when the system refuses an ICMP socket.
using IcmpCreateFileFn = void* (*)();
// Closes a handle from IcmpCreateFile; nonzero on success.
using IcmpCloseHandleFn = int (*)(void* handle);
// Sends one echo request with `requestData` to `destination` (network order) and waits up to
// `timeoutMs` for its reply. Returns the number of replies written to `replyBuffer` (0 or 1);
// `requestOptions` is accepted for form's sake and must be null.
using IcmpSendEchoFn = uint32_t (*)(void* handle, uint32_t destination, const void* requestData,
                                    uint16_t requestSize, const void* requestOptions,
                                    void* replyBuffer, uint32_t replySize, uint32_t timeoutMs);

}  // extern "C"

// The library's file name, loaded by bare name (see platform/dynlib.h for where it is looked for).
constexpr const char kIcmpLibraryName[] = "libvokelicmp.so";
