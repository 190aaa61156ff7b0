#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/messages.h"

namespace px {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Out(const Message& m) {
  EXPECT_FALSE(m.empty());
  return m;
}

void ExpectSysExClean(const Bytes& m) {
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m.front(), 0xF0);
  EXPECT_EQ(m.back(), 0xF7);
  for (size_t i = 1; i + 1 < m.size(); ++i) EXPECT_LT(m[i], 0x80) << "byte " << i;
}

TEST(Messages, WorkedExamples) {
  CMessageSet set;
  const Bytes abc = {'a', 'b', 'c'};
  EXPECT_EQ(Out(set.RomWrite(abc.data(), 0x000A0000, 3)),
            (Bytes{0xF0, 0x52, 0x00, 0x5E, 0x02, 0x00, 0x00, 0x28, 0x00, 0x00, 0x03,
                   0x00, 0x00, 0x61, 0x62, 0x63, 0x3D, 0x7C, 0x6E, 0x56, 0x0C, 0xF7}));

  const Bytes empty = Out(set.RomWrite(nullptr, 0x000A0000, 0));
  ASSERT_EQ(empty.size(), 18u);
  EXPECT_EQ(Bytes(empty.end() - 6, empty.end()), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F, 0xF7}));

  set.DeviceId = 0x5D;
  EXPECT_EQ(Out(set.RomErase(0x000A0000, 0x00100000)),
            (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x0A, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x40,
                   0x00, 0x00, 0xF7}));

  const Bytes one = {0x80};
  const Bytes fw = Out(set.FileWrite(0, one.data(), 1));
  EXPECT_EQ(fw.size(), 24u);
  ExpectSysExClean(fw);

  const Bytes del = Out(set.FileDelete("LINESEL.TDL"));
  ASSERT_EQ(del.size(), 20u);
  EXPECT_EQ(std::string(del.begin() + 6, del.begin() + 17), "LINESEL.TDL");
  EXPECT_EQ(del[17], 0x00);
  EXPECT_EQ(del[18], 0x00);
}

TEST(Messages, FixedMessagesCarryCurrentDeviceId) {
  CMessageSet set;
  EXPECT_EQ(Out(set.Ack(0)), (Bytes{0xF0, 0x52, 0x00, 0x5E, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(set.RomErase(0, 0)[3], 0x5E);
  set.DeviceId = 0x5D;
  EXPECT_EQ(Out(set.Ack(1)), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x00, 0x01, 0xF7}));
  EXPECT_EQ(Out(set.UpdateStart()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x01, 0xF7}));
  EXPECT_EQ(Out(set.UpdateComplete()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x04, 0xF7}));
  EXPECT_EQ(Out(set.GetSemaphore()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x06, 0xF7}));
  EXPECT_EQ(Out(set.AudioMute()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x61, 0x05, 0xF7}));
  EXPECT_EQ(Out(set.ResultRequest(0)), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x05, 0x00, 0xF7}));
  EXPECT_EQ(Out(set.FileClose(0)),
            (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x21, 0, 0, 0, 0, 0, 0xF7}));

  const Bytes open = Out(set.FileOpen("LINESEL.TDL", 1));
  ASSERT_EQ(open.size(), 29u);
  EXPECT_EQ(Bytes(open.begin(), open.begin() + 16),
            (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x20, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::string(open.begin() + 16, open.begin() + 27), "LINESEL.TDL");
  EXPECT_EQ(open[27], 0x00);
}

TEST(Messages, IdentityRequestAndOwnReply) {
  EXPECT_EQ(Bytes(IdentityRequest.begin(), IdentityRequest.end()),
            (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
  CMessageSet set;
  EXPECT_EQ(set.IdentityReply(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00,
                                        0x31, 0x30, 0x30, 0x30, 0xF7}));
  set.SetIdentityReplyDevice(0x5D);
  EXPECT_EQ(set.IdentityReply()[6], 0x5D);
  EXPECT_TRUE(IsAcceptedDeviceId(0x5E));
  EXPECT_TRUE(IsAcceptedDeviceId(0x5D));
  EXPECT_FALSE(IsAcceptedDeviceId(0x5C));
}

TEST(Messages, FullBlocksAndRefusedArguments) {
  CMessageSet set;
  Bytes block(12288);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131);
  const Bytes full = Out(set.RomWrite(block.data(), 0x000A3000, 12288));
  EXPECT_EQ(full.size(), 14062u);
  ExpectSysExClean(full);

  Bytes chunk(4096, 0xA5);
  EXPECT_EQ(set.FileWrite(0, chunk.data(), 4096).size(), 4704u);

  // Nothing that does not fit its field is sent cut short: the message comes back empty.
  Bytes big(kMaxRomWriteBlock + 1);
  EXPECT_TRUE(set.RomWrite(big.data(), 0, kMaxRomWriteBlock + 1).empty());
  EXPECT_TRUE(set.RomWrite(nullptr, 0, 1).empty());
  EXPECT_TRUE(set.FileOpen("LINESEL.TDLX", 1).empty());
  EXPECT_TRUE(set.FileDelete("ABCDEFGHIJKLM").empty());
  EXPECT_TRUE(set.FileDelete(nullptr).empty());
  Bytes huge(kMaxFileWriteChunk + 1);
  EXPECT_TRUE(set.FileWrite(0, huge.data(), kMaxFileWriteChunk + 1).empty());

  // The longest names that fit keep their terminating zero.
  const Message open = set.FileOpen("ABCDEFGHIJK", 1);
  ASSERT_EQ(open.size(), 29u);
  EXPECT_EQ(open[27], 0x00);
  const Message del = set.FileDelete("ABCDEFGHIJKL");
  ASSERT_EQ(del.size(), 20u);
  EXPECT_EQ(del[18], 0x00);
  EXPECT_EQ(set.RomWrite(big.data(), 0, kMaxRomWriteBlock).size(),
            PackedSize(kMaxRomWriteBlock) + 18);
  EXPECT_EQ(set.FileWrite(0, huge.data(), kMaxFileWriteChunk).size(),
            PackedSize(kMaxFileWriteChunk) + 22);
}

}  // namespace
}  // namespace px
