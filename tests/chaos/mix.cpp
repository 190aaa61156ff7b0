// Drawing a run's fault mix from its seed, and the time a run may take.
#include <algorithm>
#include <random>
#include <sstream>

#include "chaos.h"
#include "engine/images.h"

namespace px::chaos {
namespace {

using sim::FaultAction;
using sim::FaultRule;
using sim::Occurrences;
using sim::WireKind;

constexpr const char* kClassNames[kFaultClassCount] = {
    "clean",    "drop",  "flip",           "late",       "duplicate", "refusal", "silence",
    "realtime", "stray", "device-request", "disconnect", "battery",   "abort"};

class CDraw {
 public:
  explicit CDraw(uint64_t seed) : rng_(seed) {}
  uint32_t Int(uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_);
  }
  double Real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  bool Chance(double p) { return Real(0.0, 1.0) < p; }
  template <typename T>
  T Pick(std::initializer_list<T> items) {
    return *(items.begin() + Int(0, static_cast<uint32_t>(items.size()) - 1));
  }
  uint64_t Next() { return rng_(); }

 private:
  std::mt19937_64 rng_;
};

std::shared_ptr<const std::vector<uint8_t>> RealImage(int id) {
  const uint8_t* bytes = nullptr;
  const int32_t size = LoadDeviceImage(id, &bytes);
  return std::make_shared<const std::vector<uint8_t>>(bytes, bytes + std::max(size, 0));
}

std::shared_ptr<const std::vector<uint8_t>> RandomImage(CDraw& d, size_t size) {
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) b = static_cast<uint8_t>(d.Next());
  return std::make_shared<const std::vector<uint8_t>>(std::move(image));
}

uint32_t Blocks(const Mix& m) {
  return static_cast<uint32_t>((m.firmware->size() + kWriteBlock - 1) / kWriteBlock);
}
uint32_t Chunks(const Mix& m) {
  return std::max<uint32_t>(
      1, static_cast<uint32_t>((m.module->size() + kFileChunk - 1) / kFileChunk));
}
bool Variant1(const Mix& m) {
  return m.pedal.member == 1;
}

// Bytes the updater sends in a clean run, and the pedal's answers.
double BytesToPedal(const Mix& m) {
  const double packed = 8.0 / 7.0;
  double n = m.firmware->size() * packed + 18.0 * Blocks(m) + 200;
  if (Variant1(m)) n += m.module->size() * packed + 30.0 * Chunks(m) + 100;
  return n;
}
double AnswerBytes(const Mix& m) {
  return 10.0 * (Blocks(m) + 2 * Chunks(m) + 12);
}

// How often a clean run sends a kind: the range occurrences are drawn from.
uint32_t Sends(const Mix& m, WireKind kind) {
  switch (kind) {
    case WireKind::ResultRequest:
      return Chunks(m) + 1;
    case WireKind::FileWrite:
      return Chunks(m);
    default:
      return 1;
  }
}

// A kind this run sends, RomWrite the likeliest since it is most of the traffic.
WireKind AnyKind(CDraw& d, const Mix& m) {
  if (d.Chance(0.4)) return WireKind::RomWrite;
  if (Variant1(m)) {
    return d.Pick({WireKind::IdentityRequest, WireKind::GetSemaphore, WireKind::AudioMute,
                   WireKind::UpdateStart, WireKind::FileDelete, WireKind::FileOpen,
                   WireKind::ResultRequest, WireKind::FileWrite, WireKind::FileClose,
                   WireKind::RomErase, WireKind::UpdateComplete});
  }
  return d.Pick({WireKind::IdentityRequest, WireKind::UpdateStart, WireKind::RomErase,
                 WireKind::UpdateComplete});
}

FaultRule RuleFor(CDraw& d, const Mix& m, WireKind kind, FaultAction action) {
  FaultRule r;
  r.kind = kind;
  r.action = action;
  if (kind == WireKind::RomWrite) {
    r.block = static_cast<int32_t>(d.Int(0, Blocks(m) - 1));
    r.when = Occurrences::Nth(1);
  } else {
    r.when = Occurrences::Nth(d.Int(1, Sends(m, kind)));
  }
  return r;
}

// An answer that reads as a failure of the kind, never one that claims a success.
void Refuse(CDraw& d, WireKind kind, FaultRule& r) {
  r.action = FaultAction::Status;
  switch (kind) {
    case WireKind::UpdateStart:
      r.value = d.Pick({11, 12, 3, 6});
      break;
    case WireKind::RomErase:
      r.value = d.Pick({2, 11, 12, 20, 25});
      break;
    case WireKind::RomWrite:
      r.value = d.Pick({11, 12, 21, 22, 23, 25});
      break;
    case WireKind::FileDelete:
      r.value = d.Pick({-6, -5, -13});  // -6: no such file, which is as good as deleted
      break;
    case WireKind::FileOpen:
    case WireKind::FileWrite:
    case WireKind::FileClose:
      r.value = d.Pick({-9, -13, -22, -28, -74});
      break;
    case WireKind::ResultRequest:
      r.value = d.Pick({1, 9, 74});
      break;
    default:
      r.value = static_cast<int32_t>(d.Int(1, 127));
      break;
  }
  // Now and then the answer comes in another reply kind, which must read as a failure too.
  if (kind != WireKind::FileDelete && d.Chance(0.15)) {
    switch (d.Int(0, 2)) {
      case 0:
        r.action = FaultAction::ValueReply;
        r.value = -static_cast<int32_t>(d.Int(1, 100));
        break;
      case 1:
        r.action = FaultAction::Ack;
        r.value = static_cast<int32_t>(d.Int(1, 127));
        break;
      default:
        r.action = FaultAction::CodeReply;  // code 34 with a negative value reads as -1
        r.value = 34;
        r.extra = -static_cast<int32_t>(d.Int(1, 1000));
        break;
    }
  }
}

void AddClass(CDraw& d, Mix& m, FaultClass c) {
  sim::PedalConfig& p = m.pedal;
  const double w = m.timing.replyWaitMs;
  switch (c) {
    case FaultClass::Clean:
      break;
    case FaultClass::Drop:
    case FaultClass::Flip: {
      // A handful of hits per run on average, in one direction or both.
      const bool toPedal = d.Chance(0.7);
      const bool toHost = !toPedal || d.Chance(0.5);
      const double in = toPedal ? d.Real(0.3, 3.0) / BytesToPedal(m) : 0;
      const double out = toHost ? d.Real(0.3, 3.0) / AnswerBytes(m) : 0;
      (c == FaultClass::Drop ? p.line.dropToPedal : p.line.flipToPedal) = in;
      (c == FaultClass::Drop ? p.line.dropToHost : p.line.flipToHost) = out;
      break;
    }
    case FaultClass::Late:
      for (uint32_t i = 0, n = d.Int(1, 2); i < n; ++i) {
        FaultRule r = RuleFor(d, m, AnyKind(d, m), FaultAction::Late);
        const WireKind kind = *r.kind;
        const double wait = kind == WireKind::RomErase ? m.EraseWaitMs() : w;
        r.value = static_cast<int32_t>(wait * d.Real(0.2, 3.5));
        p.rules.push_back(r);
      }
      break;
    case FaultClass::Duplicate:
      for (uint32_t i = 0, n = d.Int(1, 3); i < n; ++i) {
        p.rules.push_back(RuleFor(d, m, AnyKind(d, m), FaultAction::Duplicate));
      }
      break;
    case FaultClass::Refusal:
      switch (d.Int(0, 5)) {
        case 0:
          if (Variant1(m)) {
            p.semaphoreRefusals = d.Chance(0.2) ? 100 : d.Int(1, 99);
            p.semaphoreRefusalStatus = d.Chance(0.7) ? 2 : 3;
            break;
          }
          [[fallthrough]];
        case 1: {
          FaultRule r = RuleFor(d, m, WireKind::RomWrite, FaultAction::Status);
          Refuse(d, WireKind::RomWrite, r);
          r.when = Occurrences::Range(1, d.Int(1, 7));
          p.rules.push_back(r);
          break;
        }
        case 2: {
          FaultRule r = RuleFor(d, m, WireKind::RomErase, FaultAction::Status);
          Refuse(d, WireKind::RomErase, r);
          r.when = Occurrences::Range(1, d.Int(1, 7));
          p.rules.push_back(r);
          break;
        }
        case 3:
          if (d.Chance(0.5)) {
            p.updateModeReady = false;
          } else {
            p.batteryLow = true;
          }
          break;
        default: {
          const WireKind kind = AnyKind(d, m);
          FaultRule r = RuleFor(d, m, kind, FaultAction::Status);
          Refuse(d, kind, r);
          p.rules.push_back(r);
          break;
        }
      }
      break;
    case FaultClass::Silence: {
      const WireKind kind = AnyKind(d, m);
      FaultRule r = RuleFor(d, m, kind, FaultAction::Silence);
      r.when = Occurrences::Range(r.when.first, r.when.first + d.Int(0, 5));
      p.rules.push_back(r);
      break;
    }
    case FaultClass::RealTime:
      p.line.realTimeRate = d.Real(0.005, 0.1);
      break;
    case FaultClass::Stray:
      if (d.Chance(0.6)) {
        p.line.strayRate = d.Real(0.03, 0.4);
        p.line.unknownCommandRate = d.Real(0.0, 0.2);
      } else {
        p.rules.push_back(
            RuleFor(d, m, AnyKind(d, m),
                    d.Chance(0.5) ? FaultAction::StrayBytes : FaultAction::UnknownCommand));
      }
      break;
    case FaultClass::DeviceRequest:
      if (d.Chance(0.5)) {
        p.line.askIdentityAtBlock = static_cast<int32_t>(d.Int(0, Blocks(m) - 1));
      } else {
        p.rules.push_back(
            RuleFor(d, m, AnyKind(d, m),
                    d.Chance(0.5) ? FaultAction::AskIdentity : FaultAction::UnknownCommand));
      }
      break;
    case FaultClass::Disconnect:
      if (d.Chance(0.7)) {
        p.line.disconnectAfterBytes = static_cast<int64_t>(d.Real(0, BytesToPedal(m)));
      } else {
        p.rules.push_back(RuleFor(d, m, AnyKind(d, m), FaultAction::Disconnect));
      }
      break;
    case FaultClass::Battery:
      if (d.Chance(0.8)) {
        p.batteryLowAfterBlock = static_cast<int32_t>(d.Int(1, Blocks(m)));
      } else {
        p.batteryLow = true;
      }
      break;
    case FaultClass::Abort: {
      // Anywhere from before the first answer to about the end of a clean run.
      const double clean = m.timing.updateStartPauseMs + m.pedal.eraseTimeMs +
                           (Blocks(m) + 3 * Chunks(m) + 10) * (m.pedal.replyLatencyMs + 4.0);
      m.abortAtMs = static_cast<int64_t>(d.Real(0, clean));
      break;
    }
  }
}

uint32_t Scaled(uint32_t ms, double scale) {
  return static_cast<uint32_t>(ms * scale + 0.5);
}

// After the draws, so that a seed keeps its mix whatever the scale.
void Stretch(Mix& m, double scale) {
  EngineTiming& t = m.timing;
  for (uint32_t* ms : ScaledTimes(t)) *ms = Scaled(*ms, scale);
  // A slower machine holds answers back for longer, too.
  t.lastAnswerMarginMs = Scaled(t.lastAnswerMarginMs, scale);
  t.eraseBytesPerMs = std::max<uint32_t>(1, static_cast<uint32_t>(t.eraseBytesPerMs / scale));
  sim::PedalConfig& p = m.pedal;
  for (uint32_t* ms : {&p.replyLatencyMs, &p.eraseTimeMs, &p.writeTimeMs,
                       &p.settleAfterUpdateStartMs, &p.updaterReplyWaitMs}) {
    *ms = Scaled(*ms, scale);
  }
  if (p.baud) p.baud = std::max<uint32_t>(9600, static_cast<uint32_t>(p.baud / scale));
  for (FaultRule& r : p.rules) {
    if (r.action == FaultAction::Late)
      r.value = static_cast<int32_t>(Scaled(static_cast<uint32_t>(r.value), scale));
  }
  if (m.abortAtMs >= 0) m.abortAtMs = static_cast<int64_t>(m.abortAtMs * scale);
}

}  // namespace

const char* ClassName(FaultClass c) {
  return kClassNames[static_cast<size_t>(c)];
}

uint32_t Mix::EraseWaitMs() const {
  return sim::kFlashSize / timing.eraseBytesPerMs + timing.eraseExtraMs;
}

Mix DrawMix(uint64_t seed, const MixOptions& options) {
  CDraw d(seed);
  Mix m;
  m.seed = seed;

  // The updater's own times scaled down about a hundredfold, keeping their proportions.
  EngineTiming& t = m.timing;
  t.replyWaitMs = d.Int(40, 80);
  t.resendPauseMs = std::max<uint32_t>(2, t.replyWaitMs / 40);
  t.semaphorePauseMs = std::max<uint32_t>(1, t.replyWaitMs / 80);
  t.updateStartPauseMs = d.Int(12, 30);
  // The erase waits about six reply waits, as 32,775 ms is to 5,000.
  t.eraseBytesPerMs = sim::kFlashSize / (t.replyWaitMs * 11 / 2);
  t.eraseExtraMs = t.replyWaitMs;
  // The pedal here answers within a few ms, but a loaded machine (and the sanitizers) may hold an
  // answer back for longer: the listening after a transfer gets a whole reply wait.
  t.lastAnswerMarginMs = t.replyWaitMs;

  sim::PedalConfig& p = m.pedal;
  p.seed = d.Next();
  if (d.Chance(0.75)) {
    p.member = 1;
  } else {
    p.member = d.Pick<uint8_t>({0, 0, 2});
    p.family = d.Pick<uint8_t>({0x5E, 0x5D});
  }
  p.replyLatencyMs = d.Int(0, 4);
  p.writeTimeMs = d.Int(0, 2);
  p.eraseTimeMs = static_cast<uint32_t>(m.EraseWaitMs() * d.Real(0.1, 0.6));
  p.settleAfterUpdateStartMs = t.updateStartPauseMs;
  p.updaterReplyWaitMs = t.replyWaitMs;
  // Pacing at a rate that keeps a full block's line time to a reply wait as at 115,200 baud.
  if (d.Chance(0.25)) p.baud = d.Int(8, 20) * 1000000;
  if (d.Chance(0.2)) p.initialFiles.clear();

  m.realImages = d.Chance(options.realImageShare);
  if (m.realImages) {
    m.firmware = RealImage(kFirmwareResource);
    m.module = RealImage(kModuleResource);
  } else {
    const uint32_t blocks = d.Int(2, 8);
    const uint32_t rest = d.Chance(0.15) ? 0 : d.Int(1, kWriteBlock - 1);
    m.firmware = RandomImage(d, (blocks - (rest ? 1 : 0)) * kWriteBlock + rest);
    const uint32_t module = d.Chance(0.15) ? kFileChunk * d.Int(1, 2) : d.Int(1, 9217);
    m.module = RandomImage(d, module);
  }
  p.expectedImage = *m.firmware;
  if (Variant1(m)) p.expectedFiles[kModuleFileName] = *m.module;

  // Most runs mix one to three fault classes; a few stay clean.
  if (d.Chance(0.06)) {
    m.classes = 1u << static_cast<unsigned>(FaultClass::Clean);
  } else {
    for (uint32_t i = 0, n = d.Int(1, 3); i < n; ++i) {
      m.classes |= 1u << d.Int(1, kFaultClassCount - 1);
    }
  }
  for (size_t c = 0; c < kFaultClassCount; ++c) {
    if (m.Has(static_cast<FaultClass>(c))) AddClass(d, m, static_cast<FaultClass>(c));
  }
  if (options.timeScale != 1.0) Stretch(m, options.timeScale);
  return m;
}

std::string Mix::Describe() const {
  std::ostringstream s;
  s << "seed " << seed << ":";
  for (size_t c = 0; c < kFaultClassCount; ++c) {
    if (Has(static_cast<FaultClass>(c))) s << " " << kClassNames[c];
  }
  s << "; family 0x" << std::hex << int{pedal.family} << std::dec << " member " << int{pedal.member}
    << "; " << (realImages ? "real images " : "images ") << firmware->size() << "+"
    << module->size() << " bytes; wait " << timing.replyWaitMs << " ms, erase wait "
    << EraseWaitMs() << " ms, pedal latency " << pedal.replyLatencyMs << " ms, erase "
    << pedal.eraseTimeMs << " ms";
  if (pedal.baud) s << ", " << pedal.baud << " baud";
  for (const FaultRule& r : pedal.rules) s << "; rule " << sim::FormatFaultRule(r);
  const sim::LineFaults& l = pedal.line;
  if (l.dropToPedal || l.dropToHost) s << "; drop " << l.dropToPedal << "/" << l.dropToHost;
  if (l.flipToPedal || l.flipToHost) s << "; flip " << l.flipToPedal << "/" << l.flipToHost;
  if (l.realTimeRate) s << "; real-time " << l.realTimeRate;
  if (l.strayRate || l.unknownCommandRate) {
    s << "; stray " << l.strayRate << ", unknown commands " << l.unknownCommandRate;
  }
  if (l.askIdentityAtBlock >= 0) s << "; asks identity at block " << l.askIdentityAtBlock;
  if (l.disconnectAfterBytes >= 0) s << "; line down after " << l.disconnectAfterBytes << " bytes";
  if (pedal.batteryLow) s << "; battery low";
  if (pedal.batteryLowAfterBlock >= 0)
    s << "; battery low after block " << pedal.batteryLowAfterBlock;
  if (!pedal.updateModeReady) s << "; not in update mode";
  if (pedal.semaphoreRefusals) {
    s << "; semaphore refused " << pedal.semaphoreRefusals << "x status "
      << int{pedal.semaphoreRefusalStatus};
  }
  if (abortAtMs >= 0) s << "; window closed at " << abortAtMs << " ms";
  return s.str();
}

double WorstCaseMs(const Mix& m) {
  const double w = m.timing.replyWaitMs;
  const double p = m.timing.resendPauseMs;
  const double ps = m.timing.semaphorePauseMs;
  const double turn = m.pedal.replyLatencyMs + m.pedal.writeTimeMs + 2.0;
  const double six = 6 * w;
  // A request that finally got its answer may wait once for each other copy's answer.
  const double drain = 5 * w;
  double ms = six + drain;  // identify
  if (Variant1(m)) {
    ms += 100 * (turn + ps) + 6 * (w + ps) + drain;  // semaphore
    ms += six + drain;                               // mute
  }
  ms += six + drain + m.timing.updateStartPauseMs;
  if (Variant1(m)) {
    ms += 3 * (six + drain);                     // delete, open and its result
    ms += Chunks(m) * (w + six + drain + turn);  // each chunk and its result
    ms += 2 * (six + drain);                     // close, and again after a failed chunk
  }
  ms += m.EraseWaitMs() + 6 * (turn + p) + m.pedal.eraseTimeMs;
  ms += Blocks(m) * (5 * (w + p) + 6 * (turn + p) + turn + 11 * w);
  ms += 2 * (m.timing.lastAnswerMarginMs + w);  // the listening after the file and the flash
  ms += six;                                    // complete
  for (const sim::FaultRule& r : m.pedal.rules) {
    if (r.action == FaultAction::Late) ms += 2.0 * r.value;
  }
  if (m.pedal.baud) ms += BytesToPedal(m) * 2 * 10000.0 / m.pedal.baud;
  return ms + 5000;
}

double FaultBudgetMs(const Mix& m, const sim::PedalReport& r, bool completed, double loadFactor) {
  const double w = m.timing.replyWaitMs;
  const double p = std::max(m.timing.resendPauseMs, m.timing.semaphorePauseMs);
  const double turn = m.pedal.replyLatencyMs + m.pedal.writeTimeMs;
  // Opening the port, starting the threads, and every exchange's own turn.
  // The listening after the file and after the flash: at most a reply wait each beyond the margin.
  double ms = 500 + 2.0 * (m.timing.lastAnswerMarginMs + w) + r.messagesReceived * (turn + 2.0) +
              m.timing.updateStartPauseMs + m.pedal.eraseTimeMs +
              (r.refusals.size() + m.pedal.semaphoreRefusals) * p;
  // The line's own time, or the bytes' handling when it is not paced.
  ms += r.bytesReceived * (m.pedal.baud ? 2 * 10000.0 / m.pedal.baud : 0.005);
  // Each wait that a fault can make time out.
  double waits = 2 + r.damagedMessages + r.damagedAnswers + (r.disconnected ? 13 : 0);
  for (const sim::FiredFault& f : r.faults) {
    for (const sim::FaultRule& rule : m.pedal.rules) {
      if (f.what != sim::FormatFaultRule(rule)) continue;
      switch (rule.action) {
        case FaultAction::Silence:
        case FaultAction::Duplicate:
          waits += 1;
          break;
        case FaultAction::Late:
          ms += rule.value;
          waits += 1;
          break;
        case FaultAction::Disconnect:
          waits += 13;
          break;
        default:
          ms += p + turn;
          break;
      }
      break;
    }
  }
  if (!completed) waits += 1;
  // Any of them may have been the erase's, which waits longer. Every wait that timed out may be
  // followed by one more for the answer to its first copy.
  ms += m.EraseWaitMs() + waits * (2 * w + p);
  return ms * loadFactor;
}

bool AddFaultRule(Mix& mix, const std::string& text, std::string& error) {
  sim::FaultRule rule;
  if (!sim::ParseFaultRule(text, rule, error)) return false;
  mix.pedal.rules.push_back(rule);
  return true;
}

}  // namespace px::chaos
