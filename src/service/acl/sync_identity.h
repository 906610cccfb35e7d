// The identities state sync keeps instead of texts and copies: an access-list line's, hashed
// from its class and text, and a registry record's, hashed from every field its lines can
// depend on. Both are 128 bits, two hashes of the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

#include "service/registry/kel_data.h"
#include "service/registry/pc_data.h"
#include "service/registry/pvroute_data.h"
#include "service/registry/quarantine_data.h"
#include "service/transport/request_codes.h"

namespace statesync {

// A line's identity: its class and its text after the operation word, hashed twice.
struct LineKey {
  uint64_t a = 0;
  uint64_t b = 0;
  bool operator==(const LineKey& o) const { return a == o.a && b == o.b; }
};
struct LineKeyHash {
  size_t operator()(const LineKey& k) const { return static_cast<size_t>(k.a); }
};

// The identity of a line of class `lineClass` whose text after the operation word is `rest`.
LineKey KeyOf(LineClass lineClass, const std::string& rest);

// A run of bytes a record's identity compares: a fixed-size address or MAC.
struct Raw {
  const uint8_t* data;
  size_t size;
  bool operator==(const Raw& o) const {
    return size == o.size && std::memcmp(data, o.data, size) == 0;
  }
};

// Every field of a record that the lines can depend on, as one comparable tuple: two records
// are the same member when their fields are equal, and their identity hashes the same fields.
inline auto Fields(const CPcData& p) {
  return std::make_tuple(std::string_view(p.macText), Raw{p.mac.data(), 6},
                         std::string_view(p.sourceText), Raw{p.source.data(), 4},
                         std::string_view(p.networkText), Raw{p.network.data(), 4},
                         std::string_view(p.netmaskText), Raw{p.netmask.data(), 4});
}
inline auto Fields(const CQuarantineData& q) {
  return std::make_tuple(std::string_view(q.sourceText), Raw{q.source.data(), 4},
                         std::string_view(q.protocolText), std::string_view(q.portText));
}
inline auto Fields(const CKelData& e) {
  return std::make_tuple(static_cast<uint64_t>(e.target), std::string_view(e.macText),
                         Raw{e.mac, 6}, std::string_view(e.sourceText), Raw{e.source, 4});
}
inline auto Fields(const CPvrouteData& t) {
  return std::make_tuple(std::string_view(t.devText), std::string_view(t.networkText),
                         Raw{t.network.data(), 4}, std::string_view(t.netmaskText),
                         Raw{t.netmask.data(), 4});
}

template <class T>
bool Same(const T& a, const T& b) {
  return Fields(a) == Fields(b);
}

// A record's identity: its fields hashed twice into 128 bits, eight bytes at a time, each field
// with its length first, so that no two field lists run together.
class IdentityHasher {
 public:
  void Field(std::string_view text) { Run(text.data(), text.size()); }
  void Field(Raw bytes) { Run(bytes.data, bytes.size); }
  void Field(uint64_t value) {
    Word(8);
    Word(value);
  }
  template <class Tuple>
  void Fields(const Tuple& fields) {
    std::apply([self = this](const auto&... field) { (self->Field(field), ...); }, fields);
  }
  LineKey Key() const { return LineKey{a_, b_}; }

 private:
  void Run(const void* data, size_t size) {
    Word(size);
    const auto* c = static_cast<const unsigned char*>(data);
    for (; size >= 8; c += 8, size -= 8) {
      uint64_t w;
      std::memcpy(&w, c, 8);
      Word(w);
    }
    if (size > 0) {
      uint64_t w = 0;
      std::memcpy(&w, c, size);
      Word(w);
    }
  }
  // Two chains with different constants and different ways in: multiply, then fold the high
  // bits back down.
  void Word(uint64_t w) {
    a_ = (a_ ^ w) * 0x9E3779B97F4A7C15u;
    a_ ^= a_ >> 32;
    b_ = (b_ + w + 0x632BE59BD9B4E019u) * 0xFF51AFD7ED558CCDu;
    b_ ^= b_ >> 29;
  }
  uint64_t a_ = 0x243F6A8885A308D3u;
  uint64_t b_ = 0x13198A2E03707344u;
};

template <class T>
LineKey Identity(const T& record) {
  IdentityHasher h;
  h.Fields(Fields(record));
  return h.Key();
}

// The identity of a route step; null is the one step of a router without routes.
LineKey StepIdentity(const CPvrouteData* t);

}  // namespace statesync
