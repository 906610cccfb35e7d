#include "service/acl/sync_identity.h"

#include <functional>

namespace statesync {

LineKey KeyOf(LineClass lineClass, const std::string& rest) {
  const auto classCode = static_cast<uint64_t>(lineClass);
  LineKey k;
  k.a = std::hash<std::string>{}(rest) ^ (classCode * 0x9E3779B97F4A7C15u);
  uint64_t h = 1469598103934665603u ^ classCode;
  for (unsigned char c : rest) {
    h ^= c;
    h *= 1099511628211u;
  }
  k.b = h;
  return k;
}

LineKey StepIdentity(const CPvrouteData* t) {
  if (t != nullptr) return Identity(*t);
  IdentityHasher h;
  h.Field(std::string_view("\x01", 1));
  return h.Key();
}

}  // namespace statesync
