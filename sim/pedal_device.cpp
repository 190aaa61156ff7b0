#include "sim/pedal_device.h"

namespace px::sim {
namespace {

constexpr size_t kBatch = 4096;

}  // namespace

CPedalDevice::CPedalDevice(const PedalConfig& config)
    : config_(config),
      toPedal_(config.baud),
      toHost_(config.baud),
      lineRng_(config.seed ^ 0x9E3779B97F4A7C15ull),
      model_(config),
      start_(std::chrono::steady_clock::now()) {}

CPedalDevice::~CPedalDevice() {
  Stop();
}

void CPedalDevice::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
  if (config_.clockMs > 0) clock_ = std::thread([this] { RunClock(); });
}

void CPedalDevice::RunClock() {
  static constexpr uint8_t kClock = 0xF8;
  while (WaitMs(config_.clockMs) && !disconnected_.load()) toHost_.Push(&kClock, 1);
}

void CPedalDevice::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stop_ = true;
  }
  stopCv_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (clock_.joinable()) clock_.join();
}

void CPedalDevice::SetExpectedImage(std::vector<uint8_t> image) {
  std::lock_guard<std::mutex> lock(modelMutex_);
  model_.SetExpectedImage(std::move(image));
}

uint64_t CPedalDevice::NowMs() const {
  return MsOf(std::chrono::steady_clock::now());
}

uint64_t CPedalDevice::MsOf(CPacedQueue::SteadyClock::time_point at) const {
  if (at <= start_) return 0;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(at - start_).count());
}

int64_t CPedalDevice::CompleteAnsweredAtMs() const {
  const uint64_t answer = completeAnswer_.load();
  CPacedQueue::SteadyClock::time_point at;
  if (answer == 0 || !toHost_.LeftAt(answer, at)) return -1;
  return static_cast<int64_t>(MsOf(at));
}

std::optional<uint64_t> CPedalDevice::LastAnswerLeftMs() const {
  CPacedQueue::SteadyClock::time_point at;
  if (lastAnswer_ != 0 && toHost_.LeftAt(lastAnswer_, at)) return MsOf(at);
  return NowMs();
}

PedalReport CPedalDevice::Report() const {
  std::lock_guard<std::mutex> lock(modelMutex_);
  PedalReport r = model_.Report(NowMs());
  r.bytesReceived = received_.load();
  r.bytesSent = sent_.load();
  return r;
}

void CPedalDevice::Trace(const std::string& line) const {
  if (config_.trace) config_.trace(line);
}

bool CPedalDevice::WaitMs(uint32_t ms) {
  if (ms == 0) return !stop_.load();
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

void CPedalDevice::Run() {
  uint8_t batch[kBatch];
  std::vector<CPacedQueue::SteadyClock::time_point> at(kBatch);
  while (WaitMs(0) && !disconnected_.load()) {
    if (lineReset_.exchange(false)) {
      framer_.Reset();
      pendingDamage_ = false;
      std::lock_guard<std::mutex> lock(modelMutex_);
      model_.OnLineReset(NowMs());
    }
    const size_t n = toPedal_.Pop(batch, sizeof batch, std::chrono::milliseconds(20), at.data());
    for (size_t i = 0; i < n && !disconnected_.load(); ++i) {
      Take(batch[i], MsOf(at[i]));
      if (!WaitMs(0)) return;
    }
  }
}

// One byte from the line: the line's own faults, then framing.
void CPedalDevice::Take(uint8_t byte, uint64_t atMs) {
  const LineFaults& line = config_.line;
  const uint64_t received = received_.fetch_add(1) + 1;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  bool damaged = pendingDamage_;
  pendingDamage_ = false;
  if (line.dropToPedal > 0 && chance(lineRng_) < line.dropToPedal) {
    pendingDamage_ = true;  // the hole shows in whatever comes next
  } else {
    if (line.flipToPedal > 0 && chance(lineRng_) < line.flipToPedal) {
      byte ^= static_cast<uint8_t>(1u << (lineRng_() % 8));
      damaged = true;
    }
    if (byte == 0xF0) messageStartMs_ = atMs;
    const CPedalFramer::Heard event = framer_.Push(byte, damaged);
    if (event != CPedalFramer::Heard::None) Handle(event);
  }
  if (line.disconnectAfterBytes >= 0 && !disconnected_.load() &&
      received >= static_cast<uint64_t>(line.disconnectAfterBytes)) {
    Trace("    fault: line down after " + std::to_string(received) + " bytes");
    GoDown();
  }
}

// A framing event: the model decides, and its answers go out when they are due.
void CPedalDevice::Handle(CPedalFramer::Heard event) {
  outputs_.clear();
  {
    std::lock_guard<std::mutex> lock(modelMutex_);
    if (event == CPedalFramer::Heard::Message) {
      const std::vector<uint8_t>& m = framer_.message();
      const Arrival arrival{messageStartMs_, NowMs(), framer_.lastDamaged(), LastAnswerLeftMs()};
      model_.OnMessage(m.data(), m.size(), arrival, outputs_);
    } else {
      model_.OnFramingEvent(event, framer_.lastDamaged());
    }
  }
  for (const Output& o : outputs_) {
    if (!WaitMs(o.delayMs)) return;
    Emit(o);
    if (disconnected_.load()) return;
  }
  if (!outputs_.empty() && completeAnswer_.load() == 0) {
    std::lock_guard<std::mutex> lock(modelMutex_);
    if (model_.UpdateCompleteSeen()) completeAnswer_.store(lastAnswer_);
  }
}

void CPedalDevice::Emit(const Output& output) {
  if (output.disconnect) {
    Trace("    fault: line down");
    GoDown();
    return;
  }
  if (config_.trace)
    Trace("out " + CPedalModel::Describe(output.bytes.data(), output.bytes.size(), true));
  const LineFaults& line = config_.line;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::vector<uint8_t> wire;
  wire.reserve(output.bytes.size() + 8);
  bool damaged = false;
  for (uint8_t b : output.bytes) {
    if (line.realTimeRate > 0 && chance(lineRng_) < line.realTimeRate) {
      wire.push_back(lineRng_() % 2 ? 0xF8 : 0xFE);
    }
    if (line.dropToHost > 0 && chance(lineRng_) < line.dropToHost) {
      damaged = true;
      continue;
    }
    if (line.flipToHost > 0 && chance(lineRng_) < line.flipToHost) {
      b ^= static_cast<uint8_t>(1u << (lineRng_() % 8));
      damaged = true;
    }
    wire.push_back(b);
  }
  if (damaged) {
    std::lock_guard<std::mutex> lock(modelMutex_);
    model_.OnOutboundDamage();
  }
  sent_.fetch_add(wire.size());
  const uint64_t last = toHost_.Push(wire.data(), wire.size());
  if (last != 0) lastAnswer_ = last;
}

void CPedalDevice::GoDown() {
  if (disconnected_.exchange(true)) return;
  toPedal_.Close();
  toHost_.Close();
  std::lock_guard<std::mutex> lock(modelMutex_);
  model_.OnDisconnected();
}

}  // namespace px::sim
