#include "update/md5.h"

#include <cstring>

#include "common/hex_digits.h"

namespace {

inline uint32_t RotateLeft(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

// Little-endian load; compilers turn it into one move on little-endian hosts.
inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The four round functions. F and I are the usual reformulations with one
// operation fewer. G adds its two halves separately: they never share a bit,
// so the sum equals the OR, and the half that does not depend on b can be
// computed while the previous step is still in flight.
inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
  a += x + t + (((c ^ d) & b) ^ d);
  a = RotateLeft(a, s) + b;
}
inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
  a += x + t + (c & ~d);
  a += b & d;
  a = RotateLeft(a, s) + b;
}
inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
  a += x + t + (b ^ c ^ d);
  a = RotateLeft(a, s) + b;
}
inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
  a += x + t + (c ^ (b | ~d));
  a = RotateLeft(a, s) + b;
}

}  // namespace

Md5::Md5() : state_{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, buffer_{} {}

void Md5::Transform(const uint8_t* blocks, size_t count) {
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (; count > 0; --count, blocks += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Load32(blocks + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

    StepF(a, b, c, d, x[0], 0xd76aa478u, 7);
    StepF(d, a, b, c, x[1], 0xe8c7b756u, 12);
    StepF(c, d, a, b, x[2], 0x242070dbu, 17);
    StepF(b, c, d, a, x[3], 0xc1bdceeeu, 22);
    StepF(a, b, c, d, x[4], 0xf57c0fafu, 7);
    StepF(d, a, b, c, x[5], 0x4787c62au, 12);
    StepF(c, d, a, b, x[6], 0xa8304613u, 17);
    StepF(b, c, d, a, x[7], 0xfd469501u, 22);
    StepF(a, b, c, d, x[8], 0x698098d8u, 7);
    StepF(d, a, b, c, x[9], 0x8b44f7afu, 12);
    StepF(c, d, a, b, x[10], 0xffff5bb1u, 17);
    StepF(b, c, d, a, x[11], 0x895cd7beu, 22);
    StepF(a, b, c, d, x[12], 0x6b901122u, 7);
    StepF(d, a, b, c, x[13], 0xfd987193u, 12);
    StepF(c, d, a, b, x[14], 0xa679438eu, 17);
    StepF(b, c, d, a, x[15], 0x49b40821u, 22);

    StepG(a, b, c, d, x[1], 0xf61e2562u, 5);
    StepG(d, a, b, c, x[6], 0xc040b340u, 9);
    StepG(c, d, a, b, x[11], 0x265e5a51u, 14);
    StepG(b, c, d, a, x[0], 0xe9b6c7aau, 20);
    StepG(a, b, c, d, x[5], 0xd62f105du, 5);
    StepG(d, a, b, c, x[10], 0x02441453u, 9);
    StepG(c, d, a, b, x[15], 0xd8a1e681u, 14);
    StepG(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
    StepG(a, b, c, d, x[9], 0x21e1cde6u, 5);
    StepG(d, a, b, c, x[14], 0xc33707d6u, 9);
    StepG(c, d, a, b, x[3], 0xf4d50d87u, 14);
    StepG(b, c, d, a, x[8], 0x455a14edu, 20);
    StepG(a, b, c, d, x[13], 0xa9e3e905u, 5);
    StepG(d, a, b, c, x[2], 0xfcefa3f8u, 9);
    StepG(c, d, a, b, x[7], 0x676f02d9u, 14);
    StepG(b, c, d, a, x[12], 0x8d2a4c8au, 20);

    StepH(a, b, c, d, x[5], 0xfffa3942u, 4);
    StepH(d, a, b, c, x[8], 0x8771f681u, 11);
    StepH(c, d, a, b, x[11], 0x6d9d6122u, 16);
    StepH(b, c, d, a, x[14], 0xfde5380cu, 23);
    StepH(a, b, c, d, x[1], 0xa4beea44u, 4);
    StepH(d, a, b, c, x[4], 0x4bdecfa9u, 11);
    StepH(c, d, a, b, x[7], 0xf6bb4b60u, 16);
    StepH(b, c, d, a, x[10], 0xbebfbc70u, 23);
    StepH(a, b, c, d, x[13], 0x289b7ec6u, 4);
    StepH(d, a, b, c, x[0], 0xeaa127fau, 11);
    StepH(c, d, a, b, x[3], 0xd4ef3085u, 16);
    StepH(b, c, d, a, x[6], 0x04881d05u, 23);
    StepH(a, b, c, d, x[9], 0xd9d4d039u, 4);
    StepH(d, a, b, c, x[12], 0xe6db99e5u, 11);
    StepH(c, d, a, b, x[15], 0x1fa27cf8u, 16);
    StepH(b, c, d, a, x[2], 0xc4ac5665u, 23);

    StepI(a, b, c, d, x[0], 0xf4292244u, 6);
    StepI(d, a, b, c, x[7], 0x432aff97u, 10);
    StepI(c, d, a, b, x[14], 0xab9423a7u, 15);
    StepI(b, c, d, a, x[5], 0xfc93a039u, 21);
    StepI(a, b, c, d, x[12], 0x655b59c3u, 6);
    StepI(d, a, b, c, x[3], 0x8f0ccc92u, 10);
    StepI(c, d, a, b, x[10], 0xffeff47du, 15);
    StepI(b, c, d, a, x[1], 0x85845dd1u, 21);
    StepI(a, b, c, d, x[8], 0x6fa87e4fu, 6);
    StepI(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
    StepI(c, d, a, b, x[6], 0xa3014314u, 15);
    StepI(b, c, d, a, x[13], 0x4e0811a1u, 21);
    StepI(a, b, c, d, x[4], 0xf7537e82u, 6);
    StepI(d, a, b, c, x[11], 0xbd3af235u, 10);
    StepI(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
    StepI(b, c, d, a, x[9], 0xeb86d391u, 21);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state_[0] = a;
  state_[1] = b;
  state_[2] = c;
  state_[3] = d;
}

void Md5::Update(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  length_ += size;
  if (buffered_ > 0) {
    size_t take = size < 64 - buffered_ ? size : 64 - buffered_;
    std::memcpy(buffer_ + buffered_, bytes, take);
    buffered_ += take;
    bytes += take;
    size -= take;
    if (buffered_ < 64) return;
    Transform(buffer_, 1);
    buffered_ = 0;
  }
  if (size >= 64) {
    Transform(bytes, size / 64);
    bytes += size / 64 * 64;
    size %= 64;
  }
  if (size > 0) {
    std::memcpy(buffer_, bytes, size);
    buffered_ = size;
  }
}

Md5::Digest Md5::Final() {
  // One 0x80 byte, zeros up to 56 mod 64, then the bit count little-endian.
  uint8_t tail[72] = {0x80};
  const uint64_t bits = length_ * 8;
  const size_t padding = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(tail, padding + 8);

  Digest digest;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
  }
  return digest;
}

Md5::Digest Md5::Of(const void* data, size_t size) {
  Md5 md5;
  md5.Update(data, size);
  return md5.Final();
}

std::string Md5::ToHex(const Digest& digest) { return HexDigits(digest.data(), digest.size()); }
