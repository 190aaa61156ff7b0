#include "protocol/reply.h"

#include <algorithm>

namespace px {

void CAnswerLedger::SendAsked(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap) {
  std::lock_guard<std::mutex> lock(mutex_);
  owed_.push_back(SendToDevice(link, data, length, tap));
}

CAnswerLedger::Verdict CAnswerLedger::Answer(const uint8_t* m, size_t length, uint64_t left) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The oldest copy has the smallest mark: if it had not left yet, no copy had.
  if (!owed_.empty() && owed_.front() <= left) {
    owed_.pop_front();
    lastTaken_.assign(m, m + length);
    return Verdict::Owed;
  }
  surplus_.fetch_add(1);
  if (lastTaken_.size() == length && std::equal(m, m + length, lastTaken_.begin())) {
    return Verdict::Repeat;
  }
  conflicts_.fetch_add(1);
  return Verdict::Conflict;
}

void CAnswerLedger::Forgive() {
  std::lock_guard<std::mutex> lock(mutex_);
  owed_.clear();
}

size_t CAnswerLedger::Owed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return owed_.size();
}

uint64_t SendToDevice(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap) {
  if (tap != nullptr) tap->OnMessage(Direction::Out, data, static_cast<size_t>(length));
  return link.SendCounted(data, length);
}

const uint8_t* CReplyReceiver::ReadSysEx(size_t& length) {
  for (;;) {
    if (state_.ReplyThreadRun.load() == 0) return nullptr;
    uint8_t b = 0;
    if (!link_.ReadByte(b)) continue;
    const CSysExFramer::Event event = framer_.Push(b);
    if (event == CSysExFramer::Event::Started || event == CSysExFramer::Event::Restarted) {
      leftAtStart_ = link_.BytesLeftHost();
    } else if (IsWholeMessage(event)) {
      length = framer_.Size();
      leftAtDelivered_ = leftAtStart_;
      IMessageTap* tap = tap_.load();
      if (tap != nullptr) tap->OnMessage(Direction::In, framer_.Data(), length);
      return framer_.Data();
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

void CReplyReceiver::AnswerDevice(uint8_t status) {
  const int n = ComposeAck(answer_, messages_.DeviceId.load(), status);
  SendToDevice(link_, answer_, n, tap_.load());
}

bool CReplyReceiver::Owed(const uint8_t* m, size_t length) {
  if (state_.Answers.Answer(m, length, leftAtDelivered_) == CAnswerLedger::Verdict::Owed) {
    return true;
  }
  IMessageTap* tap = tap_.load();
  if (tap != nullptr) tap->OnSurplus(m, length);
  return false;
}

void CReplyReceiver::Signal() {
  state_.ReplyEvent.SetEvent();
}

// A message is read only as far as it reaches: the fields a case needs must lie among its data
// bytes (the closing F7 is not data). A message too short for its case is ignored, so a reply
// that lost its status byte on the line can never read as a success.
void CReplyReceiver::Match(const uint8_t* m, size_t length) {
  const MessageKind kind = ClassifyMessage(m, length, Sender::Device, messages_.DeviceId.load());
  const size_t avail = DataLength(m, length);
  switch (kind) {
    case MessageKind::Ack:
      if (avail <= field::kAckStatus || !Owed(m, length)) return;
      state_.ReplyStatus.store(m[field::kAckStatus]);
      Signal();
      return;
    case MessageKind::Done:
      if (!Owed(m, length)) return;
      state_.ReplyStatus.store(kStatusOk);
      Signal();
      return;
    case MessageKind::ValueReply:
    case MessageKind::CodeReply:
    case MessageKind::ResultReply:
    case MessageKind::OtherSubReply:
      MatchSubReply(m, length, avail);
      return;
    case MessageKind::DeviceCommand: {
      const uint8_t command = m[field::kCommand];
      const bool taken = std::find(kTakenDeviceCommands.begin(), kTakenDeviceCommands.end(),
                                   command) != kTakenDeviceCommands.end();
      AnswerDevice(taken ? kAckTaken : kAckUnknown);
      return;
    }
    case MessageKind::IdentityRequest: {
      const int n = messages_.IdentityReply(answer_);
      SendToDevice(link_, answer_, n, tap_.load());
      return;
    }
    case MessageKind::IdentityReply:
      if (avail <= field::kIdentityMember || !Owed(m, length)) return;
      state_.ReplyStatus.store(kStatusOk);
      state_.ReportedDeviceId.store(m[field::kIdentityFamily]);
      state_.DeviceVariant.store(m[field::kIdentityMember]);
      state_.ReportedRevision.store(
          avail >= field::kIdentityRevision + 4 ? ReadRevision(m + field::kIdentityRevision) : 0);
      Signal();
      return;
    case MessageKind::OtherUniversal:
      AnswerDevice(kAckUnknown);
      return;
    default:  // Notice, Foreign: nothing
      return;
  }
}

// Every sub-reply wakes the worker, also where the status stays as it was.
void CReplyReceiver::MatchSubReply(const uint8_t* m, size_t length, size_t avail) {
  bool store = false;
  int32_t status = 0;
  switch (m[field::kSub]) {
    case kSubValueReply:
      if (avail < field::kSubValue + 5) return;
      store = true;
      status = DecodeSeptet32(m + field::kSubValue);
      break;
    case kSubCodeReply: {
      if (avail <= field::kCode) return;
      const uint8_t code = m[field::kCode];
      if (std::find(kSuccessCodes.begin(), kSuccessCodes.end(), code) != kSuccessCodes.end()) {
        store = true;
        status = kStatusOk;
      } else if (code == kValueCode) {
        if (avail < field::kCodeValue + 5) return;
        if (ReadSeptet14(m + field::kCodeError) == 0) {
          store = true;
          status = DecodeSeptet32(m + field::kCodeValue) >= 0 ? kStatusOk : kStatusCodeNegative;
        }
      }
      break;
    }
    case kSubResult:
      if (avail <= field::kSubStatus) return;
      store = true;
      status = m[field::kSubStatus];
      break;
    default:
      break;
  }
  if (!Owed(m, length)) return;
  if (store) state_.ReplyStatus.store(status);
  Signal();
}

}  // namespace px
