// The interface of the project's ping library (libvokelicmp.so): C functions that the keepalive
// looks up by name after loading the library at run time. IcmpCreateFile, IcmpCloseHandle and
// IcmpSendEcho ping one router at a time; IcmpSendEchoAsync, IcmpReceiveEcho and
// IcmpHandleDescriptor let one handle have many requests in flight.
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

// The asynchronous form: many requests of one handle in flight at once, their replies taken as
// they come. A handle remembers its last kIcmpRememberedRequests requests; a reply to an older
// one is passed over. IcmpSendEcho on the same handle passes over (and so loses) the replies to
// its asynchronous requests.

// Sends one echo request with `requestData` to `destination` (network order) and returns at
// once: the request's sequence number (1 to 65535), which its reply carries, or 0 when it could
// not be sent. `requestOptions` must be null, as for IcmpSendEcho.
using IcmpSendEchoAsyncFn = uint32_t (*)(void* handle, uint32_t destination,
                                         const void* requestData, uint16_t requestSize,
                                         const void* requestOptions);
// Takes the next reply to one of the handle's asynchronous requests, waiting up to `timeoutMs`
// for one (0: only what is already waiting). Writes IcmpEchoReply (roundTripTime counted from
// that request's send) and the echoed data as IcmpSendEcho does, and the request's sequence
// number to `*sequence`. Returns 1, or 0 when no reply came in time. Replies from another host
// than the request's destination, or to requests the handle does not remember, are passed over.
using IcmpReceiveEchoFn = uint32_t (*)(void* handle, uint32_t* sequence, void* replyBuffer,
                                       uint32_t replySize, uint32_t timeoutMs);
// A descriptor that polls readable while a reply may be waiting on the handle, so that a caller
// can wait for it beside other things. Only for polling: neither read nor close it. -1 for a
// null handle.
using IcmpHandleDescriptorFn = int (*)(void* handle);

}  // extern "C"

constexpr uint32_t kIcmpRememberedRequests = 1024;

// The library's file name, loaded by bare name (see platform/dynlib.h for where it is looked for).
constexpr const char kIcmpLibraryName[] = "libvokelicmp.so";
