#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/messages.h"
#include "sim/pedal_config.h"
#include "sim/pedal_model.h"

// Drives the pedal model with messages composed the way the updater composes them.
namespace px::sim::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

inline Bytes Msg(Message (*compose)(uint8_t), uint8_t id) {
  return compose(id);
}
inline Bytes Identity() {
  return Bytes(IdentityRequest.begin(), IdentityRequest.end());
}
inline Bytes RomErase(uint8_t id, uint32_t address = kFlashBase, uint32_t size = kFlashSize) {
  return ComposeRomErase(id, address, size);
}
inline Bytes RomWrite(uint8_t id, const uint8_t* data, uint32_t address, uint32_t n) {
  return ComposeRomWrite(id, data, address, n);
}
inline Bytes FileWrite(uint8_t id, const uint8_t* data, uint32_t n, uint32_t handle = 0) {
  return ComposeFileWrite(id, handle, data, n);
}
inline Bytes FileOpen(uint8_t id, const char* name, uint32_t mode = 1) {
  return ComposeFileOpen(id, name, mode);
}
inline Bytes FileDelete(uint8_t id, const char* name) {
  return ComposeFileDelete(id, name);
}
inline Bytes FileClose(uint8_t id, uint32_t handle = 0) {
  return ComposeFileClose(id, handle);
}
inline Bytes Result(uint8_t id, uint8_t value = 0) {
  return ComposeResultRequest(id, value);
}

// What an answer says, read the way the updater reads it.
struct Answer {
  enum class Kind { None, Ack, Value, Result, Identity, Other } kind = Kind::None;
  int32_t value = 0;
  uint32_t delayMs = 0;
  Bytes bytes;
};

inline Answer Read(const std::vector<Output>& out) {
  Answer a;
  if (out.empty()) return a;
  const Output& o = out.back();
  a.bytes = o.bytes;
  a.delayMs = out.front().delayMs;
  const Bytes& m = o.bytes;
  a.kind = Answer::Kind::Other;
  if (m.size() == 15 && m[1] == 0x7E && m[4] == 0x02) {
    a.kind = Answer::Kind::Identity;
  } else if (m.size() == 7 && m[4] == kCmdAck) {
    a.kind = Answer::Kind::Ack;
    a.value = m[5];
  } else if (m.size() == 12 && m[4] == kCmdFile && m[5] == kSubValueReply) {
    a.kind = Answer::Kind::Value;
    a.value = DecodeSeptet32(m.data() + 6);
  } else if (m.size() == 8 && m[4] == kCmdFile && m[5] == kSubResult) {
    a.kind = Answer::Kind::Result;
    a.value = m[6];
  }
  return a;
}

class CDriver {
 public:
  explicit CDriver(const PedalConfig& config) : model_(config), id_(config.family) {}

  Answer Send(const Bytes& m, bool damaged = false) {
    out_.clear();
    model_.OnMessage(m.data(), m.size(), damaged, nowMs_, out_);
    for (const Output& o : out_) nowMs_ += o.delayMs;
    nowMs_ += 600;  // the updater's pause after UpdateStart is the longest it takes
    return Read(out_);
  }
  const std::vector<Output>& outputs() const { return out_; }
  CPedalModel& model() { return model_; }
  PedalReport Report() const { return model_.Report(nowMs_); }
  uint8_t id() const { return id_; }

  // The steps of a correct run up to the flash erase, for a member-1 pedal.
  void ThroughFile(const Bytes& module) {
    Send(Identity());
    Send(Msg(ComposeGetSemaphore, id_));
    Send(Msg(ComposeAudioMute, id_));
    Send(Msg(ComposeUpdateStart, id_));
    Send(FileDelete(id_, "LINESEL.TDL"));
    Send(FileOpen(id_, "LINESEL.TDL"));
    Send(Result(id_));
    for (size_t off = 0; off < module.size() || off == 0; off += 4096) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(4096, module.size() - off));
      Send(FileWrite(id_, module.data() + off, n));
      Send(Result(id_));
      if (n < 4096) break;
    }
    Send(FileClose(id_));
  }
  // Writes the image in blocks of 12,288 and returns the answers.
  std::vector<Answer> WriteImage(const Bytes& image) {
    std::vector<Answer> answers;
    for (size_t off = 0; off < image.size(); off += 12288) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(12288, image.size() - off));
      answers.push_back(
          Send(RomWrite(id_, image.data() + off, kFlashBase + static_cast<uint32_t>(off), n)));
    }
    return answers;
  }

 private:
  CPedalModel model_;
  uint8_t id_;
  std::vector<Output> out_;
  uint64_t nowMs_ = 0;
};

inline bool HasViolation(const PedalReport& r, const std::string& part) {
  for (const Violation& v : r.violations) {
    if (v.what.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace px::sim::test
