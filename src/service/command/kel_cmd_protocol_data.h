// CKelCmdProtocolData: one text buffer of a command connection, either a line being received
// or a prompt waiting in the send queue. A fresh one is made for every line and every prompt.
#pragma once

#include <cstddef>
#include <vector>

#include "service/registry/kel_list.h"

class CKelCmdProtocolData : public CKelRecord {
 public:
  // Room made for a line or a prompt at first, and the step by which a line grows.
  static constexpr size_t kBlockSize = 256;

  CKelCmdProtocolData() = default;

  // Makes a zero-filled buffer of `capacity` bytes. false when the memory cannot be had.
  bool Create(size_t capacity);
  // Adds `step` zero-filled bytes, keeping the text. false (text kept) when it cannot.
  bool Grow(size_t step);
  bool created() const { return !buffer_.empty(); }

  char* buffer() { return buffer_.data(); }
  const char* buffer() const { return buffer_.data(); }
  size_t capacity() const { return buffer_.size(); }

  // Bytes of text held, not counting the terminating NUL.
  size_t length = 0;

 private:
  std::vector<char> buffer_;
};
