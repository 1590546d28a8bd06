#include "update/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "common/temp_dir.h"

namespace {

std::string Hex(const std::string& data) { return Md5::ToHex(Md5::Of(data.data(), data.size())); }

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(Md5Test, TestSuiteOfThePublishedAlgorithm) {
  EXPECT_EQ(Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                "0"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, PiecesOfAnySizeGiveTheWholeMessagesDigest) {
  const std::string data = RandomBytes(5000, 1);
  const std::string whole = Hex(data);
  for (size_t piece : {1u, 3u, 63u, 64u, 65u, 127u, 1000u}) {
    Md5 md5;
    for (size_t at = 0; at < data.size(); at += piece) {
      md5.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(Md5::ToHex(md5.Final()), whole) << "pieces of " << piece;
  }
}

#ifndef _WIN32
// Padding boundaries and a multi-block message against the system's md5sum.
TEST(Md5Test, AgreesWithMd5sumAcrossPaddingBoundaries) {
  TempDir dir;
  const std::filesystem::path file = dir / "data.bin";
  for (size_t size : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 3u << 20}) {
    const std::string data = RandomBytes(size, static_cast<uint32_t>(size) + 7);
    WriteFileBytes(file, data);
    std::string command = "md5sum '" + file.string() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char output[33] = {};
    ASSERT_EQ(fread(output, 1, 32, pipe), 32u);
    pclose(pipe);
    EXPECT_EQ(Hex(data), std::string(output, 32)) << size << " bytes";
  }
}
#endif

}  // namespace
