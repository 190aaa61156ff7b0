// The updater's side of one run: the engine as a window drives it, and what it showed, when.
#include "drive.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "engine/flash_table.h"
#include "engine/images.h"
#include "engine/update_runner.h"
#include "protocol/messages.h"

namespace px::chaos {
namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// What the updater showed, and when.
class CChaosUi : public IRunWatcher {
 public:
  CChaosUi(bool trace, Clock::time_point t0) : trace_(trace), t0_(t0) {}

  void OnFailure(const UpdateFailure& failure) override {
    const std::string& text = failure.text;
    Note("error box: " + text);
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(text);
  }
  void OnCompleted(const std::string& text) override {
    Note("completion box: " + text);
    std::lock_guard<std::mutex> lock(mutex_);
    completions_.push_back(text);
  }
  void OnPosition(int) override { Note({}); }
  void OnRunStarted() override {
    Note("controls disabled");
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = false;
  }
  void OnRunReleased() override {
    Note("controls enabled");
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = true;
  }

  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  size_t Completions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_.size();
  }
  bool Enabled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
  }
  int CallsAfter(Clock::time_point t) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (Clock::time_point c : calls_) n += c > t;
    return n;
  }

 private:
  void Note(const std::string& what) {
    const Clock::time_point now = Clock::now();
    if (trace_ && !what.empty())
      fprintf(stderr, "%9.1f ui    %s\n", MsBetween(t0_, now), what.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(now);
  }

  const bool trace_;
  const Clock::time_point t0_;
  std::mutex mutex_;
  std::vector<std::string> errors_;
  std::vector<std::string> completions_;
  std::vector<Clock::time_point> calls_;
  bool enabled_ = true;
};

std::string Hex(const uint8_t* data, size_t length) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < length && i < 24; ++i) {
    snprintf(b, sizeof b, "%02X ", data[i]);
    s += b;
  }
  if (length > 24) s += "... (" + std::to_string(length) + " bytes)";
  return s;
}

// Tells the worker's requests from the reply thread's answers: the reply thread is the one that
// reports received messages.
class CSendTap : public IMessageTap {
 public:
  CSendTap(const DriveOptions& options, Clock::time_point t0) : options_(options), t0_(t0) {}

  void OnMessage(Direction direction, const uint8_t* data, size_t length) override {
    const Clock::time_point now = Clock::now();
    if (options_.trace) {
      const bool in = direction == Direction::In;
      fprintf(
          stderr, "%9.1f %s %s\n", MsBetween(t0_, now), in ? "in   " : "out  ",
          (options_.describe ? options_.describe(data, length, in) : Hex(data, length)).c_str());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (direction == Direction::In) {
      replyThread_ = std::this_thread::get_id();
      if (length > 5 && data[1] == kManufacturer && data[4] == kCmdRomWrite) ++successCommands_;
    } else if (std::this_thread::get_id() != replyThread_) {
      workerSends_.push_back(now);
    }
  }

  // Device commands 0x02, which read as a success. The pedal never sends one: each is a
  // damaged answer.
  int SuccessCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return successCommands_;
  }

  int WorkerSendsAfter(Clock::time_point t) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (Clock::time_point s : workerSends_) n += s > t;
    return n;
  }

 private:
  const DriveOptions& options_;
  const Clock::time_point t0_;
  std::mutex mutex_;
  std::thread::id replyThread_;
  std::vector<Clock::time_point> workerSends_;
  int successCommands_ = 0;
};

constexpr struct {
  RunOutcome outcome;
  const char* name;
} kOutcomeNames[] = {
    {RunOutcome::None, "none"},
    {RunOutcome::Completed, "completed"},
    {RunOutcome::Refused, "refused"},
    {RunOutcome::TimedOut, "timed out"},
    {RunOutcome::PortFailed, "port failed"},
    {RunOutcome::NotStarted, "not started"},
    {RunOutcome::Declined, "declined"},
    {RunOutcome::Aborted, "aborted"},
    {RunOutcome::OutOfStep, "out of step"},
};

}  // namespace

const char* OutcomeName(RunOutcome outcome) {
  for (const auto& o : kOutcomeNames) {
    if (o.outcome == outcome) return o.name;
  }
  return "?";
}

bool OutcomeOfName(const std::string& name, RunOutcome& outcome) {
  for (const auto& o : kOutcomeNames) {
    if (name == o.name) {
      outcome = o.outcome;
      return true;
    }
  }
  return false;
}

Shown DriveUpdate(IPortLink& port, const std::string& portName, const UpdaterRun& run,
                  const DriveOptions& options) {
  Shown shown;
  const Clock::time_point t0 = Clock::now();
  const ImageLoader loader = [&run](int id, const uint8_t** bytes) -> int32_t {
    const std::vector<uint8_t>* image = id == kFirmwareResource ? run.firmware.get()
                                        : id == kModuleResource ? run.module.get()
                                                                : nullptr;
    if (image == nullptr) return -1;
    *bytes = image->data();
    return static_cast<int32_t>(image->size());
  };

  CChaosUi ui(options.trace, t0);
  CSendTap tap(options, t0);
  bool ended = false;
  Clock::time_point abortedAt{};
  {
    CUpdateRunner engine(port, ui, run.timing, loader);
    engine.SetMessageTap(&tap);
    engine.StartReplyThread();
    const Clock::time_point start = Clock::now();
    engine.OnExecute(portName);
    const auto limit = static_cast<uint32_t>(run.worstCaseMs);
    if (run.abortAtMs >= 0) {
      ended = engine.WaitForWorker(static_cast<uint32_t>(run.abortAtMs));
      if (!ended) {
        engine.Abort();
        abortedAt = Clock::now();
        shown.aborted = true;
        if (options.trace)
          fprintf(stderr, "%9.1f user  closes the window\n", MsBetween(t0, abortedAt));
        // The worker wakes at once from any wait or pause.
        ended = engine.WaitForWorker(static_cast<uint32_t>(1000 * run.loadFactor));
        shown.ranOnAfterAbort = !ended;
      }
    }
    if (!shown.aborted && !ended) ended = engine.WaitForWorker(limit);
    shown.elapsedMs = MsBetween(start, Clock::now());
    if (!ended) {
      shown.stillRunning = true;
      engine.Abort();
      engine.WaitForWorker(limit);
    }
    shown.outcome = engine.LastResult().outcome;
    shown.inProgress = engine.UpdateInProgress();
  }
  shown.errors = ui.Errors();
  shown.completions = ui.Completions();
  shown.controlsEnabled = ui.Enabled();
  shown.successCommands = tap.SuccessCommands();
  if (shown.aborted) {
    shown.callsAfterAbort = ui.CallsAfter(abortedAt);
    shown.sendsAfterAbort = tap.WorkerSendsAfter(abortedAt);
  }
  return shown;
}

}  // namespace px::chaos
