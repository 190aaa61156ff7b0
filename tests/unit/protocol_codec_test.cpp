#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/codec.h"

namespace px {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Septet32(uint32_t v) {
  Bytes b(5);
  EncodeSeptet32(v, b.data());
  return b;
}

TEST(Septet, KnownValuesAndSignedDecode) {
  EXPECT_EQ(Septet32(0x000A0000), (Bytes{0x00, 0x00, 0x28, 0x00, 0x00}));
  EXPECT_EQ(Septet32(4096), (Bytes{0x00, 0x20, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Septet32(0xFFFFFFFA), (Bytes{0x7A, 0x7F, 0x7F, 0x7F, 0x0F}));
  EXPECT_EQ(DecodeSeptet32(Septet32(0xFFFFFFFA).data()), -6);

  // Only the low four bits of the fifth byte count; bit 3 is the sign.
  const Bytes high = {0x00, 0x00, 0x00, 0x00, 0x7F};
  EXPECT_EQ(DecodeSeptet32(high.data()), -268435456);
  const Bytes noisy = {0xFF, 0x80, 0x80, 0x80, 0x70};
  EXPECT_EQ(DecodeSeptet32(noisy.data()), 0x7F);

  for (uint32_t v : {0u, 1u, 127u, 128u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x12345678u}) {
    const Bytes b = Septet32(v);
    for (uint8_t x : b) EXPECT_LT(x, 0x80);
    EXPECT_EQ(static_cast<uint32_t>(DecodeSeptet32(b.data())), v);
  }

  uint8_t s14[2];
  WriteSeptet14(12288, s14);
  EXPECT_EQ(s14[0], 0x00);
  EXPECT_EQ(s14[1], 0x60);
  EXPECT_EQ(ReadSeptet14(s14), 12288u);
  WriteSeptet14(0x4000 + 5, s14);  // bits above 13 are dropped
  EXPECT_EQ(ReadSeptet14(s14), 5u);
}

Bytes Pack(const Bytes& raw) {
  Bytes out(PackedSize(raw.size()) + 1, 0xEE);
  const size_t n = Pack7Bit(out.data(), raw.data(), raw.size());
  EXPECT_EQ(n, PackedSize(raw.size()));
  EXPECT_EQ(out[n], 0xEE) << "wrote past the packed size";
  out.resize(n);
  return out;
}

TEST(Pack7Bit, WorkedExampleAndGroupBoundaries) {
  EXPECT_EQ(Pack({0x00, 0x81, 0x02, 0x83, 0x04, 0x85, 0x06, 0x87, 0x08}),
            (Bytes{0x2A, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x40, 0x07, 0x08}));
  EXPECT_EQ(Pack(Bytes(7, 0xFF)), Bytes(8, 0x7F));
  EXPECT_EQ(Pack(Bytes(8, 0x01)).size(), 10u);
  EXPECT_TRUE(Pack({}).empty());
}

TEST(Pack7Bit, UnpackRestoresEveryLength) {
  for (size_t n = 0; n <= 30; ++n) {
    Bytes raw(n);
    for (size_t i = 0; i < n; ++i) raw[i] = static_cast<uint8_t>(i * 37 + 0x80 * (i % 3 == 0));
    const Bytes packed = Pack(raw);
    for (uint8_t b : packed) EXPECT_LT(b, 0x80);
    Bytes back(n + 7);
    EXPECT_EQ(Unpack7Bit(back.data(), packed.data(), packed.size()), n);
    back.resize(n);
    EXPECT_EQ(back, raw);
  }
}

TEST(BlockCrc32, CheckValues) {
  const std::string check = "123456789";
  EXPECT_EQ(BlockCrc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x340BC6D9u);
  const Bytes nine = {0x00, 0x81, 0x02, 0x83, 0x04, 0x85, 0x06, 0x87, 0x08};
  EXPECT_EQ(BlockCrc32(nine.data(), nine.size()), 0xD84F038Fu);
  EXPECT_EQ(Septet32(0xD84F038F), (Bytes{0x0F, 0x07, 0x3C, 0x42, 0x0D}));
  const Bytes abc = {'a', 'b', 'c'};
  EXPECT_EQ(BlockCrc32(abc.data(), 3), 0xCADBBE3Du);
  EXPECT_EQ(Septet32(0xCADBBE3D), (Bytes{0x3D, 0x7C, 0x6E, 0x56, 0x0C}));
  EXPECT_EQ(BlockCrc32(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Septet32(0xFFFFFFFF), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
  // Running updates give the same CRC as one pass.
  EXPECT_EQ(BlockCrc32Update(BlockCrc32(nine.data(), 4), nine.data() + 4, 5), 0xD84F038Fu);
}

}  // namespace
}  // namespace px
