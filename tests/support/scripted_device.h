#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_link.h"
#include "engine/timing.h"
#include "memory_link.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

namespace px::test {

using Bytes = std::vector<uint8_t>;

// Names an updater message by its kind ("?" for what the updater never sends).
inline std::string KindOf(const Bytes& m) {
  const MessageKind kind = ClassifyMessage(m.data(), m.size(), Sender::Updater);
  return kind == MessageKind::Foreign ? "?" : KindName(kind);
}

inline Bytes AckOf(uint8_t status, uint8_t id = 0x5E) {
  return {0xF0, 0x52, 0x00, id, 0x00, status, 0xF7};
}
inline Bytes ValueReplyOf(int32_t value, uint8_t id = 0x5E) {
  Bytes m = {0xF0, 0x52, 0x00, id, 0x60, 0x03, 0, 0, 0, 0, 0, 0xF7};
  EncodeSeptet32(static_cast<uint32_t>(value), m.data() + 6);
  return m;
}
inline Bytes ResultReplyOf(uint8_t status, uint8_t id = 0x5E) {
  return {0xF0, 0x52, 0x00, id, 0x60, 0x05, status, 0xF7};
}
inline Bytes IdentityReplyOf(uint8_t family, uint8_t member) {
  const uint8_t rev[4] = {'1', '0', '0', '0'};
  return ComposeIdentityReply(family, member, rev);
}

// Times for a scripted device: short pauses, but a reply wait of a second, so that every answer
// a script gives arrives within the wait even on a loaded machine (or resend counts would be the
// scheduler's).
inline EngineTiming ScriptedTiming() {
  EngineTiming t;
  t.replyWaitMs = 1000;
  t.updateStartPauseMs = 5;
  t.resendPauseMs = 2;
  t.semaphorePauseMs = 1;
  t.eraseBytesPerMs = 1000000;
  t.eraseExtraMs = 1000;
  return t;
}

// One answer: its bytes, after a delay.
struct Answer {
  Bytes bytes;
  int delayMs = 0;
};
inline std::vector<Answer> Silence() {
  return {};
}
inline std::vector<Answer> Reply(Bytes b, int delayMs = 0) {
  return {Answer{std::move(b), delayMs}};
}

// A device made of a script, for driving every branch of the engine with exact answers. Each
// message the updater sends is recorded and answered by the handler, given the message, its
// kind and how many of that kind came before (0 for the first).
class ScriptedDevice : public IPortLink {
 public:
  using Handler =
      std::function<std::vector<Answer>(const Bytes& m, const std::string& kind, int n)>;

  ScriptedDevice() : deliverer_([this] { DeliverLoop(); }) {}
  ~ScriptedDevice() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    deliverer_.join();
  }

  // Without a handler, the device is Default: id 0x5E, variant 1, accepting everything. A handler
  // answers every message itself, and returns Default(...) for the kinds it does not script.
  void SetHandler(Handler h) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(h);
  }
  static std::vector<Answer> Default(const Bytes& m, const std::string& kind, uint8_t id = 0x5E,
                                     uint8_t variant = 1) {
    if (kind == "IdentityRequest") return Reply(IdentityReplyOf(id, variant));
    if (kind == "FileDelete") return Reply(ValueReplyOf(-6, id));
    if (kind == "FileOpen") return Reply(ValueReplyOf(0, id));
    if (kind == "ResultRequest") return Reply(ResultReplyOf(0, id));
    if (kind == "Ack" || kind == "IdentityReply" || kind == "?") return Silence();
    (void)m;
    return Reply(AckOf(0, id));
  }

  bool openResult = true;
  // Stands for the system's open when set (one that takes its time, or fails late).
  std::function<bool()> opener;
  bool Open(int, uint32_t) override { return opener ? opener() : openResult; }
  bool Open(const std::string&, uint32_t) override { return opener ? opener() : openResult; }
  void Close() override { ++closes; }
  std::atomic<int> closes{0};
  int LastOpenError() const override { return 0; }
  bool ReadByte(uint8_t& byte) override {
    return toUpdater_.Pop(byte, std::chrono::milliseconds(100));
  }

  void Send(const uint8_t* data, int length) override {
    Bytes m(data, data + length);
    const std::string kind = KindOf(m);
    std::vector<Answer> answers;
    Handler h;
    int n = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(m);
      n = counts_[kind]++;
      h = handler_;
    }
    answers = h ? h(m, kind, n) : Default(m, kind);
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (Answer& a : answers) {
        pending_.emplace(
            now + std::chrono::milliseconds(a.delayMs) + std::chrono::microseconds(sequence_++),
            std::move(a.bytes));
      }
    }
    cv_.notify_all();
  }

  // Bytes from the device that no request asked for.
  void Inject(const Bytes& bytes) { toUpdater_.Push(bytes.data(), bytes.size()); }

  std::vector<Bytes> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<std::string> Kinds() {
    std::vector<std::string> out;
    for (const Bytes& m : Received()) out.push_back(KindOf(m));
    return out;
  }
  int Count(const std::string& kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[kind];
  }

 private:
  void DeliverLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (pending_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const auto due = pending_.begin()->first;
      if (std::chrono::steady_clock::now() < due) {
        cv_.wait_until(lock, due);
        continue;
      }
      toUpdater_.Push(pending_.begin()->second.data(), pending_.begin()->second.size());
      pending_.erase(pending_.begin());
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  Handler handler_;
  std::map<std::string, int> counts_;
  std::vector<Bytes> received_;
  std::multimap<std::chrono::steady_clock::time_point, Bytes> pending_;
  long sequence_ = 0;
  ByteQueue toUpdater_;
  std::thread deliverer_;
};

}  // namespace px::test
