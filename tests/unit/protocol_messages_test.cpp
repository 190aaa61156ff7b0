#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/messages.h"

namespace px {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Out(const CMessageSet& set, int n) {
  EXPECT_GT(n, 0);
  return Bytes(set.OutgoingBuffer, set.OutgoingBuffer + (n > 0 ? n : 0));
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
  EXPECT_EQ(Out(set, set.RomWrite(0x5E, abc.data(), 0x000A0000, 3)),
            (Bytes{0xF0, 0x52, 0x00, 0x5E, 0x02, 0x00, 0x00, 0x28, 0x00, 0x00, 0x03,
                   0x00, 0x00, 0x61, 0x62, 0x63, 0x3D, 0x7C, 0x6E, 0x56, 0x0C, 0xF7}));

  const Bytes empty = Out(set, set.RomWrite(0x5E, nullptr, 0x000A0000, 0));
  ASSERT_EQ(empty.size(), 18u);
  EXPECT_EQ(Bytes(empty.end() - 6, empty.end()), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F, 0xF7}));

  EXPECT_EQ(Out(set, set.RomErase(0x5D, 0x000A0000, 0x00100000)),
            (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x0A, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x40,
                   0x00, 0x00, 0xF7}));

  const Bytes one = {0x80};
  const Bytes fw = Out(set, set.FileWrite(0, one.data(), 1));
  EXPECT_EQ(fw.size(), 24u);
  ExpectSysExClean(fw);

  const Bytes del = Out(set, set.FileDelete("LINESEL.TDL"));
  ASSERT_EQ(del.size(), 20u);
  EXPECT_EQ(std::string(del.begin() + 6, del.begin() + 17), "LINESEL.TDL");
  EXPECT_EQ(del[17], 0x00);
  EXPECT_EQ(del[18], 0x00);
}

TEST(Messages, FixedMessagesCarryCurrentDeviceId) {
  CMessageSet set;
  EXPECT_EQ(Out(set, set.Ack(0)), (Bytes{0xF0, 0x52, 0x00, 0x5E, 0x00, 0x00, 0xF7}));
  set.DeviceId = 0x5D;
  EXPECT_EQ(Out(set, set.Ack(1)), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x00, 0x01, 0xF7}));
  EXPECT_EQ(Out(set, set.UpdateStart()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x01, 0xF7}));
  EXPECT_EQ(Out(set, set.UpdateComplete()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x04, 0xF7}));
  EXPECT_EQ(Out(set, set.GetSemaphore()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x06, 0xF7}));
  EXPECT_EQ(Out(set, set.AudioMute()), (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x61, 0x05, 0xF7}));
  EXPECT_EQ(Out(set, set.ResultRequest(0)),
            (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x05, 0x00, 0xF7}));
  EXPECT_EQ(Out(set, set.FileClose(0)),
            (Bytes{0xF0, 0x52, 0x00, 0x5D, 0x60, 0x21, 0, 0, 0, 0, 0, 0xF7}));

  const Bytes open = Out(set, set.FileOpen("LINESEL.TDL", 1));
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
  uint8_t reply[kIdentityReplyLength];
  ASSERT_EQ(set.IdentityReply(reply), 15);
  EXPECT_EQ(Bytes(reply, reply + 15), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00,
                                             0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}));
  set.SetIdentityReplyDevice(0x5D);
  set.IdentityReply(reply);
  EXPECT_EQ(reply[6], 0x5D);
  EXPECT_TRUE(IsAcceptedDeviceId(0x5E));
  EXPECT_TRUE(IsAcceptedDeviceId(0x5D));
  EXPECT_FALSE(IsAcceptedDeviceId(0x5C));
}

TEST(Messages, FullBlocksAndRefusedArguments) {
  CMessageSet set;
  Bytes block(12288);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131);
  const Bytes full = Out(set, set.RomWrite(0x5E, block.data(), 0x000A3000, 12288));
  EXPECT_EQ(full.size(), 14062u);
  ExpectSysExClean(full);

  Bytes chunk(4096, 0xA5);
  EXPECT_EQ(set.FileWrite(0, chunk.data(), 4096), 4704);

  // Nothing that does not fit its field is sent cut short; the buffer is left untouched.
  set.OutgoingBuffer[0] = 0x11;
  Bytes big(kMaxRomWriteBlock + 1);
  EXPECT_EQ(set.RomWrite(0x5E, big.data(), 0, kMaxRomWriteBlock + 1), -1);
  EXPECT_EQ(set.FileOpen("LINESEL.TDLX", 1), -1);
  EXPECT_EQ(set.FileDelete("ABCDEFGHIJKLM"), -1);
  EXPECT_EQ(set.FileDelete(nullptr), -1);
  Bytes huge(kMaxFileWriteChunk + 1);
  EXPECT_EQ(set.FileWrite(0, huge.data(), kMaxFileWriteChunk + 1), -1);
  EXPECT_EQ(set.OutgoingBuffer[0], 0x11);

  // The longest names that fit keep their terminating zero.
  EXPECT_EQ(set.FileOpen("ABCDEFGHIJK", 1), 29);
  EXPECT_EQ(set.OutgoingBuffer[27], 0x00);
  EXPECT_EQ(set.FileDelete("ABCDEFGHIJKL"), 20);
  EXPECT_EQ(set.OutgoingBuffer[18], 0x00);
  EXPECT_EQ(set.RomWrite(0x5E, big.data(), 0, kMaxRomWriteBlock),
            static_cast<int>(PackedSize(kMaxRomWriteBlock) + 18));
  EXPECT_EQ(set.FileWrite(0, huge.data(), kMaxFileWriteChunk),
            static_cast<int>(PackedSize(kMaxFileWriteChunk) + 22));
}

}  // namespace
}  // namespace px
