#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// MD5 message digest as published in RFC 1321, fed incrementally so a file
// can be hashed in pieces of any size.
class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  Md5();

  // Adds `size` bytes to the message.
  void Update(const void* data, size_t size);

  // Pads the message and returns its digest. The object must not be fed
  // afterwards.
  Digest Final();

  // The digest of one whole buffer.
  static Digest Of(const void* data, size_t size);

  // The digest as 32 lower-case hexadecimal digits, high nibble first.
  static std::string ToHex(const Digest& digest);

 private:
  void Transform(const uint8_t* blocks, size_t count);

  uint32_t state_[4];
  uint64_t length_ = 0;  // bytes fed so far
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};
