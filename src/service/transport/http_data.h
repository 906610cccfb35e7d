// One HTTP request to one router, the list type that holds requests, and the process-wide
// request store in which new requests wait until the HTTP client hands them to a sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "service/registry/kel_list.h"
#include "service/transport/request_codes.h"

// One request: the complete header (ending with the empty line), the form body, and the router
// it goes to. Copies copy all four fields.
class CHttpData : public CKelRecord {
 public:
  CHttpData() = default;
  CHttpData(const CHttpData& other) = default;
  CHttpData& operator=(const CHttpData& other) = default;
  // Moving hands the texts over (the record's flags are copied).
  CHttpData(CHttpData&& other) = default;
  CHttpData& operator=(CHttpData&& other) = default;
  ~CHttpData() override = default;

  // Sets `address` from the four bytes of a dotted address, first octet first.
  void SetAddressBytes(const uint8_t bytes[4]);
  // The four bytes of `address`, first octet first.
  void AddressBytes(uint8_t bytes[4]) const;

  std::string header;
  std::string body;
  uint32_t address = 0;  // IPv4, network byte order
  uint16_t port = 0;     // host order
};

// True when address, port, header and body are all equal (texts byte for byte).
bool IsSameHttpData(const CHttpData& a, const CHttpData& b);

// `header` (ending in an empty line) with "X-Vokel-Term: TERM" added as its last line: what a
// leader of a cluster sends, so that a router's log shows under which leadership each request
// came.
std::string HeaderWithTerm(const std::string& header, int64_t term);

// Standard Base64 with "=" padding and no line breaks; exactly 4 * ceil(length / 3)
// characters. false (output untouched) when the input is missing or empty.
bool Base64Encode(const void* bytes, size_t length, std::string* out);

// The request store and every sender queue. Owns its CHttpData records.
class CHttpDataList : public CKelList {
 public:
  // Fills header and body of `request` (address and port already set by the caller; the list
  // itself is not touched), with the class and opcode words of request_codes.h. `acl` null: a
  // request without lines ("count=0"). `host` goes into "Host:". 1 when made; 0 for an unknown
  // class or opcode (nothing written) or failed encoding.
  int MakeHttpData(CHttpData* request, const std::string& user, const std::string& password,
                   int version, LineClass lineClass, RequestOpcode opcode, int count,
                   const char* acl, const std::string& host);
  // The first stored request equal to `probe` (IsSameHttpData), searched head to tail; null
  // when none. `locked`: nonzero when the caller holds the list's lock.
  CHttpData* FindHttpData(const CHttpData& probe, int locked = 0);
};

// The process-wide store of requests not yet queued at a router's sender. Producers append
// with AddTail and then call CKelHttpClient::EventSend(). Lives until process exit.
CHttpDataList& HttpDataStore();
