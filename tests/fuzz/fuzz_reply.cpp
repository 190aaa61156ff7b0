// Feeds arbitrary byte streams through message framing and the reply matcher, with the reply
// thread's answers captured, under ASan and UBSan.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/reply.h"

namespace {

class ScriptLink : public px::IByteLink {
 public:
  ScriptLink(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // The receiver's run flag, cleared once the script is over.
  std::atomic<int>* run = nullptr;
  bool ReadByte(uint8_t& byte) override {
    if (pos_ >= size_) {
      if (run != nullptr) *run = 0;  // the script is over: the receiver stops
      return false;
    }
    byte = data_[pos_++];
    return true;
  }
  void Send(const uint8_t* data, int length) override {
    // Every answer is a whole, clean message.
    if (length < 2 || data[0] != 0xF0 || data[length - 1] != 0xF7) __builtin_trap();
    for (int i = 1; i + 1 < length; ++i) {
      if (data[i] & 0x80) __builtin_trap();
    }
    sent_ += static_cast<size_t>(length);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  size_t sent_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the device id the matcher compares with.
  px::CAnswerLedger answers;
  ScriptLink link(data + 1, size - 1);
  // Bits 1 to 3 of the first byte: how many answers are owed before the bytes come.
  for (int i = 0; i < ((data[0] >> 1) & 7); ++i) {
    answers.SendAsked(link, px::IdentityRequest.data(), 6, nullptr);
  }
  px::CMessageSet messages;
  messages.DeviceId = (data[0] & 1) ? 0x5D : 0x5E;
  messages.SetIdentityReplyDevice(data[0] & 0x7F);
  px::CReplyReceiver receiver(link, answers, messages);
  receiver.ReplyThreadRun = 1;
  link.run = &receiver.ReplyThreadRun;
  size_t length = 0;
  while (const uint8_t* m = receiver.ReadSysEx(length)) {
    // Copy into an exact-size heap block so ASan sees any read past the delivered message.
    std::vector<uint8_t> exact(m, m + length);
    if (length == 0 || length > px::CReplyReceiver::kReceiveBufferSize) __builtin_trap();
    receiver.Match(exact.data(), exact.size());
  }
  return 0;
}
