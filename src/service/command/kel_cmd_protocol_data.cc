#include "service/command/kel_cmd_protocol_data.h"

#include <new>
#include <stdexcept>

bool CKelCmdProtocolData::Create(size_t capacity) {
  try {
    buffer_.assign(capacity, '\0');
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  length = 0;
  return true;
}

bool CKelCmdProtocolData::Grow(size_t step) {
  try {
    buffer_.resize(buffer_.size() + step, '\0');
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}
