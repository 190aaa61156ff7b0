#include "protocol/reply.h"

#include <algorithm>

#include "protocol/codec.h"

namespace px {
namespace {

bool IsSuccessCode(uint8_t code) {
  return std::find(kSuccessCodes.begin(), kSuccessCodes.end(), code) != kSuccessCodes.end();
}

DeviceAnswer Known(MessageKind kind, int32_t status) {
  DeviceAnswer a;
  a.kind = kind;
  a.status = status;
  return a;
}

// No status the updater knows: the error text carries the message's own code.
DeviceAnswer Unknown(MessageKind kind, uint8_t code) {
  DeviceAnswer a = Known(kind, code);
  a.known = false;
  return a;
}

// A code reports success, carries a value (34, whose error field must be 0), or says nothing the
// updater knows.
std::optional<DeviceAnswer> DecodeCode(const uint8_t* m, size_t avail) {
  if (avail <= field::kCode) return std::nullopt;
  const uint8_t code = m[field::kCode];
  if (IsSuccessCode(code)) return Known(MessageKind::CodeReply, kStatusOk);
  if (code != kValueCode) return Unknown(MessageKind::CodeReply, code);
  if (avail < field::kCodeValue + 5) return std::nullopt;
  if (ReadSeptet14(m + field::kCodeError) != 0) return Unknown(MessageKind::CodeReply, code);
  return Known(MessageKind::CodeReply,
               DecodeSeptet32(m + field::kCodeValue) >= 0 ? kStatusOk : kStatusNegativeValue);
}

}  // namespace

// A message is read only as far as it reaches: the fields a kind needs must lie among its data
// bytes (the closing F7 is not data).
std::optional<DeviceAnswer> DecodeAnswer(MessageKind kind, const uint8_t* m, size_t length) {
  const size_t avail = DataLength(m, length);
  switch (kind) {
    case MessageKind::Ack:
      if (avail <= field::kAckStatus) return std::nullopt;
      return Known(kind, m[field::kAckStatus]);
    case MessageKind::Done:
      return Known(kind, kStatusOk);
    case MessageKind::ValueReply:
      if (avail < field::kSubValue + 5) return std::nullopt;
      return Known(kind, DecodeSeptet32(m + field::kSubValue));
    case MessageKind::CodeReply:
      return DecodeCode(m, avail);
    case MessageKind::ResultReply:
      if (avail <= field::kSubStatus) return std::nullopt;
      return Known(kind, m[field::kSubStatus]);
    case MessageKind::OtherSubReply:
      if (avail <= field::kSub) return std::nullopt;
      return Unknown(kind, m[field::kSub]);
    case MessageKind::IdentityReply: {
      if (avail <= field::kIdentityMember) return std::nullopt;
      DeviceAnswer a = Known(kind, kStatusOk);
      a.deviceId = m[field::kIdentityFamily];
      a.variant = m[field::kIdentityMember];
      a.revision =
          avail >= field::kIdentityRevision + 4 ? ReadRevision(m + field::kIdentityRevision) : 0;
      return a;
    }
    default:
      return std::nullopt;
  }
}

void CAnswerLedger::BeginRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++request_;
}

uint64_t CAnswerLedger::CurrentRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}

// The copy is owed before it is queued, and its mark is set once the link has counted it; an
// answer that comes meanwhile waits for the mark. The lock is not held while the link queues, so
// that nothing the link does (or a tap, or an abort from inside it) can hold the ledger.
void CAnswerLedger::SendAsked(IByteLink& link, const uint8_t* data, int length, IMessageTap* tap) {
  if (tap != nullptr) tap->OnMessage(Direction::Out, data, static_cast<size_t>(length));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    owed_.push_back({kQueueing, request_});
  }
  const uint64_t mark = SendToDevice(link, data, length, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Debt& debt : owed_) {
      if (debt.mark == kQueueing) debt.mark = mark;
    }
  }
  changed_.notify_all();
}

CAnswerLedger::Verdict CAnswerLedger::Answer(const uint8_t* m, size_t length, uint64_t left,
                                             const DeviceAnswer& answer) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return owed_.empty() || owed_.front().mark != kQueueing; });
    // The oldest copy has the smallest mark: if it had not left yet, no copy had.
    if (!owed_.empty() && owed_.front().mark <= left) {
      answers_.push_back({owed_.front().request, answer, Clock::now()});
      owed_.pop_front();
      lastTaken_.assign(m, m + length);
    } else {
      surplus_.fetch_add(1);
      if (lastTaken_.size() == length && std::equal(m, m + length, lastTaken_.begin())) {
        return Verdict::Repeat;
      }
      conflicts_.fetch_add(1);
      return Verdict::Conflict;
    }
  }
  changed_.notify_all();
  return Verdict::Owed;
}

Wait CAnswerLedger::Next(uint32_t timeoutMs, Delivery& out) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool woken = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return stopped_.load() || !answers_.empty(); });
  if (stopped_.load()) return Wait::Aborted;
  if (!woken) return Wait::TimedOut;
  out = answers_.front();
  answers_.pop_front();
  return Wait::Reply;
}

void CAnswerLedger::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

bool CAnswerLedger::Pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_.load(); });
  return !stopped_.load();
}

void CAnswerLedger::GiveUpOwed() {
  std::lock_guard<std::mutex> lock(mutex_);
  owed_.clear();
  answers_.clear();
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
    if (ReplyThreadRun.load() == 0) return nullptr;
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
  while (ReplyThreadRun.load() != 0) ReplyMatcher();
}

void CReplyReceiver::AnswerDevice(uint8_t status) {
  const Message ack = messages_.Ack(status);
  SendToDevice(link_, ack.data(), static_cast<int>(ack.size()), tap_.load());
}

void CReplyReceiver::Take(const uint8_t* m, size_t length, const DeviceAnswer& answer) {
  if (answers_.Answer(m, length, leftAtDelivered_, answer) == CAnswerLedger::Verdict::Owed) {
    return;
  }
  IMessageTap* tap = tap_.load();
  if (tap != nullptr) tap->OnSurplus(m, length);
}

// Answers go to the ledger; what the device itself asks is answered at once from this thread.
void CReplyReceiver::Match(const uint8_t* m, size_t length) {
  const MessageKind kind = ClassifyMessage(m, length, Sender::Device, messages_.DeviceId.load());
  if (IsAnswer(kind)) {
    if (const std::optional<DeviceAnswer> answer = DecodeAnswer(kind, m, length)) {
      Take(m, length, *answer);
    }
    return;
  }
  switch (kind) {
    case MessageKind::DeviceCommand: {
      const uint8_t command = m[field::kCommand];
      const bool taken = std::find(kTakenDeviceCommands.begin(), kTakenDeviceCommands.end(),
                                   command) != kTakenDeviceCommands.end();
      AnswerDevice(taken ? kAckTaken : kAckUnknown);
      return;
    }
    case MessageKind::IdentityRequest: {
      const Message reply = messages_.IdentityReply();
      SendToDevice(link_, reply.data(), static_cast<int>(reply.size()), tap_.load());
      return;
    }
    case MessageKind::OtherUniversal:
      AnswerDevice(kAckUnknown);
      return;
    default:  // Notice, Foreign: nothing
      return;
  }
}

}  // namespace px
