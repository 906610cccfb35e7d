// One router address: a probe request queued to a prober, or a router-up/router-down event in
// the controller's queues. The list that holds it owns and destroys it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "service/registry/kel_list.h"

class CKeepAliveData : public CKelRecord {
 public:
  // The address as one 32-bit value in network order, as message wParams carry it.
  uint32_t AddressValue() const {
    uint32_t value;
    std::memcpy(&value, address.data(), sizeof value);
    return value;
  }
  void SetAddressValue(uint32_t value) { std::memcpy(address.data(), &value, sizeof value); }

  std::array<uint8_t, 4> address{};  // first octet first; 0.0.0.0 until set
};
