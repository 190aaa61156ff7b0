#include "protocol/reply.h"

namespace px {

int SendToDevice(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap) {
  if (tap != nullptr) tap->OnMessage(Direction::Out, data, static_cast<size_t>(length));
  link.Send(data, length);
  return 0;
}

const uint8_t* CReplyReceiver::ReadSysEx(size_t& length) {
  bool collecting = false;
  for (;;) {
    uint8_t b = 0;
    if (!link_.ReadByte(b)) {
      if (state_.ReplyThreadRun.load() == 0) return nullptr;
      continue;
    }
    if (b == 0xF8 || b == 0xFE) continue;  // timing clock, active sensing: not part of anything
    if (b == kSysExStart) {
      count_ = 0;
      collecting = true;
    } else if (b == kSysExEnd) {
      if (!collecting) continue;
    } else if (b & 0x80) {
      collecting = false;  // another status byte ends the message; wait for the next F0
      continue;
    } else if (!collecting) {
      continue;
    }
    ReceiveBuffer[count_++] = b;
    if (b == kSysExEnd || count_ == kReceiveBufferSize) {
      length = count_;
      count_ = 0;
      IMessageTap* tap = tap_.load();
      if (tap != nullptr) tap->OnMessage(Direction::In, ReceiveBuffer, length);
      return ReceiveBuffer;
    }
  }
}

void CReplyReceiver::ReplyMatcher() {
  size_t length = 0;
  while (const uint8_t* m = ReadSysEx(length)) Match(m, length);
}

void CReplyReceiver::Run() {
  while (state_.ReplyThreadRun.load() != 0) ReplyMatcher();
}

void CReplyReceiver::Answer(uint8_t status) {
  const int n = ComposeAck(answer_, messages_.DeviceId.load(), status);
  SendToDevice(link_, answer_, n, tap_.load());
}

void CReplyReceiver::Store(int32_t status) {
  state_.ReplyStatus.store(status);
  state_.ReplyEvent.SetEvent();
}

// A message is read only as far as it reaches: the fields a case needs must lie among its data
// bytes (the closing F7 is not data). A message too short for its case is ignored, so a reply
// that lost its status byte on the line can never read as a success.
void CReplyReceiver::Match(const uint8_t* m, size_t length) {
  if (length < 2 || m[0] != kSysExStart) return;
  const size_t avail = m[length - 1] == kSysExEnd ? length - 1 : length;
  if (m[1] == kManufacturer) {
    MatchDeviceSpecific(m, avail);
  } else if (m[1] == kUniversalNonRealTime) {
    MatchUniversal(m, avail);
  }
}

void CReplyReceiver::MatchDeviceSpecific(const uint8_t* m, size_t avail) {
  if (avail < 5 || m[3] != messages_.DeviceId.load()) return;
  switch (m[4]) {
    case kCmdAck:
      if (avail >= 6) Store(m[5]);
      break;
    case 0x01:
    case 0x04:
    case 0x05:
      Answer(0x00);
      break;
    case 0x02:
      Store(0);
      break;
    case 0x03:
      break;
    case kCmdFile:
      MatchSubReply(m, avail);
      break;
    default:
      Answer(0x01);
      break;
  }
}

void CReplyReceiver::MatchUniversal(const uint8_t* m, size_t avail) {
  if (avail < 5 || m[3] != kGeneralInformation) return;
  if (m[4] == kIdentityRequestCode) {
    const int n = messages_.IdentityReply(answer_);
    SendToDevice(link_, answer_, n, tap_.load());
  } else if (m[4] == kIdentityReplyCode) {
    if (avail < 9) return;
    state_.ReplyStatus.store(0);
    state_.ReportedDeviceId.store(m[6]);
    state_.DeviceVariant.store(m[8]);
    state_.ReportedRevision.store(
        avail >= 14 ? (uint32_t{m[10]} << 24 | uint32_t{m[11]} << 16 | uint32_t{m[12]} << 8 | m[13])
                    : 0);
    state_.ReplyEvent.SetEvent();
  } else {
    Answer(0x01);
  }
}

void CReplyReceiver::MatchSubReply(const uint8_t* m, size_t avail) {
  if (avail < 6) return;
  switch (m[5]) {
    case kSubValueReply:
      if (avail < 11) return;
      state_.ReplyStatus.store(DecodeSeptet32(m + 6));
      break;
    case kSubCodeReply: {
      if (avail < 7) return;
      const uint8_t code = m[6];
      if (code == 2 || code == 17 || code == 32 || code == 37 || code == 38 || code == 41) {
        state_.ReplyStatus.store(0);
      } else if (code == 34) {
        if (avail < 16) return;
        if (ReadSeptet14(m + 7) == 0)
          state_.ReplyStatus.store(DecodeSeptet32(m + 11) >= 0 ? 0 : -1);
      }
      break;
    }
    case kSubResult:
      if (avail < 7) return;
      state_.ReplyStatus.store(m[6]);
      break;
    default:
      break;
  }
  state_.ReplyEvent.SetEvent();
}

}  // namespace px
