// One run: the virtual pedal on a pseudo-terminal (or in the same process), the real engine on
// the other end, and the checks of what both say afterwards.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "chaos.h"
#include "engine/strings.h"
#include "serial/serial_link.h"
#include "sim/fd_server.h"
#include "sim/harness.h"
#include "sim/pedal_model.h"

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

// Tells the worker's requests from the reply thread's answers: the reply thread is the one that
// reports received messages.
class CSendTap : public IMessageTap {
 public:
  CSendTap(bool trace, Clock::time_point t0) : trace_(trace), t0_(t0) {}

  void OnMessage(Direction direction, const uint8_t* data, size_t length) override {
    const Clock::time_point now = Clock::now();
    if (trace_) {
      fprintf(stderr, "%9.1f %s %s\n", MsBetween(t0_, now),
              direction == Direction::In ? "in   " : "out  ",
              sim::CPedalModel::Describe(data, length, direction == Direction::In).c_str());
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
  const bool trace_;
  const Clock::time_point t0_;
  std::mutex mutex_;
  std::thread::id replyThread_;
  std::vector<Clock::time_point> workerSends_;
  int successCommands_ = 0;
};

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

bool IsFileCloseText(const std::string& s) {
  return s == LoadText(IDS_TIMEOUT_FILE_CLOSE) || StartsWith(s, "Error occurred(File Close:");
}

// The texts after which the updater still sends FileClose, which may add a box of its own.
bool ClosesAfter(const std::string& s) {
  return s == LoadText(IDS_TIMEOUT_FILE_WRITE) || s == LoadText(IDS_TIMEOUT_RESULT) ||
         StartsWith(s, "Transfer error occurred(File Write:") ||
         StartsWith(s, "Transfer error occurred(Result:");
}

const char* OutcomeName(RunOutcome o) {
  switch (o) {
    case RunOutcome::None:
      return "none";
    case RunOutcome::Completed:
      return "completed";
    case RunOutcome::Refused:
      return "refused";
    case RunOutcome::TimedOut:
      return "timed out";
    case RunOutcome::PortFailed:
      return "port failed";
    case RunOutcome::NotStarted:
      return "not started";
    case RunOutcome::Declined:
      return "declined";
    case RunOutcome::Aborted:
      return "aborted";
    case RunOutcome::OutOfStep:
      return "out of step";
  }
  return "?";
}

}  // namespace

bool NamesAStep(const std::string& text) {
  static constexpr int kStepTexts[] = {
      IDS_ILLEGAL_DEVICE,       IDS_SET_UPDATE_MODE,       IDS_TIMEOUT_ID_REQUEST,
      IDS_TIMEOUT_ROM_WRITE,    IDS_TIMEOUT_ROM_ERASE,     IDS_TIMEOUT_UPDATE_COMPLETE,
      IDS_ERROR_ROM_WRITE,      IDS_ERROR_ROM_ERASE,       IDS_ERROR_UPDATE_START,
      IDS_TIMEOUT_UPDATE_START, IDS_TIMEOUT_GET_SEMAPHORE, IDS_ERROR_GET_SEMAPHORE,
      IDS_TIMEOUT_AUDIO_MUTE,   IDS_ERROR_AUDIO_MUTE,      IDS_LOW_BATTERY,
      IDS_ERROR_RESULT,         IDS_TIMEOUT_RESULT,        IDS_TIMEOUT_FILE_DELETE,
      IDS_TIMEOUT_FILE_OPEN,    IDS_TIMEOUT_FILE_WRITE,    IDS_ERROR_FILE_DELETE,
      IDS_ERROR_FILE_OPEN,      IDS_ERROR_FILE_WRITE,      IDS_TIMEOUT_FILE_CLOSE,
      IDS_ERROR_FILE_CLOSE};
  for (int id : kStepTexts) {
    const std::string t = LoadText(id);
    const size_t at = t.find("%d");
    if (at == std::string::npos) {
      if (text == t) return true;
      continue;
    }
    const std::string head = t.substr(0, at);
    const std::string tail = t.substr(at + 2);
    if (text.size() <= head.size() + tail.size() || !StartsWith(text, head.c_str()) ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    std::string number = text.substr(head.size(), text.size() - head.size() - tail.size());
    if (number[0] == '-') number.erase(0, 1);
    if (!number.empty() && number.size() <= 10 &&
        number.find_first_not_of("0123456789") == std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string ReplayCommand(uint64_t seed, const RunOptions& run, const MixOptions& mix) {
  std::ostringstream s;
  s << "px550-chaos --replay " << seed
    << (run.transport == Transport::InProcess ? " --in-process" : " --pty");
  if (mix.realImageShare >= 1.0) s << " --real-images";
  if (mix.timeScale != 1.0) s << " --time-scale " << mix.timeScale;
  if (run.loadFactor != 1.0) s << " --load-factor " << run.loadFactor;
  s << " --trace";
  return s.str();
}

std::string Summarize(const RunResult& r) {
  std::ostringstream s;
  s << "seed " << r.seed << " [";
  bool first = true;
  for (size_t c = 0; c < kFaultClassCount; ++c) {
    if (!((r.classes >> c) & 1u)) continue;
    s << (first ? "" : " ") << ClassName(static_cast<FaultClass>(c));
    first = false;
  }
  s << "] ";
  if (r.completed) {
    s << "completed";
  } else if (!r.errors.empty()) {
    s << '"' << r.errors.front() << '"';
    if (r.errors.size() > 1) s << " +" << r.errors.size() - 1;
  } else {
    s << OutcomeName(r.outcome);
  }
  if (r.aborted) s << " (window closed)";
  if (!r.misledBy.empty()) s << " (misled by " << r.misledBy << ")";
  char times[96];
  snprintf(times, sizeof times, ", %.0f of %.0f ms", r.elapsedMs, r.budgetMs);
  s << times;
  return s.str();
}

RunResult RunOne(const Mix& mix, const RunOptions& options) {
  RunResult res;
  res.seed = mix.seed;
  res.classes = mix.classes;
  res.transport = options.transport;
  res.realImages = mix.realImages;
  res.worstCaseMs = WorstCaseMs(mix) * options.loadFactor;
  const bool variant1 = mix.pedal.member == 1;

  const Clock::time_point t0 = Clock::now();
  sim::PedalConfig config = mix.pedal;
  if (options.trace) {
    config.trace = [t0](const std::string& line) {
      fprintf(stderr, "%9.1f pedal %s\n", MsBetween(t0, Clock::now()), line.c_str());
    };
  }
  const ImageLoader loader = [&mix](int id, const uint8_t** bytes) -> int32_t {
    const std::vector<uint8_t>* image = id == kFirmwareResource ? mix.firmware.get()
                                        : id == kModuleResource ? mix.module.get()
                                                                : nullptr;
    if (image == nullptr) return -1;
    *bytes = image->data();
    return static_cast<int32_t>(image->size());
  };

  std::unique_ptr<sim::CFdServer> server;
  std::unique_ptr<sim::CPedalHarness> harness;
  std::unique_ptr<IPortLink> port;
  std::string portName = "pedal";
  if (options.transport == Transport::Pty) {
    std::string error;
    const int master = sim::OpenPty(portName, error);
    if (master < 0) {
      res.violations.push_back("no pseudo-terminal: " + error);
      return res;
    }
    server = std::make_unique<sim::CFdServer>(master, config, true);
    server->Start();
    port = std::make_unique<CSerialLink>();
  } else {
    harness = std::make_unique<sim::CPedalHarness>(config);
    port = std::make_unique<sim::CHarnessPort>(*harness);
  }

  CChaosUi ui(options.trace, t0);
  CSendTap tap(options.trace, t0);
  bool ended = false;
  bool stillRunning = false;
  Clock::time_point abortedAt{};
  bool inProgress = false;
  {
    CUpdateRunner engine(*port, ui, mix.timing, loader);
    engine.SetMessageTap(&tap);
    engine.StartReplyThread();
    const Clock::time_point start = Clock::now();
    engine.OnExecute(portName);
    const auto limit = static_cast<uint32_t>(res.worstCaseMs);
    if (mix.abortAtMs >= 0) {
      ended = engine.WaitForWorker(static_cast<uint32_t>(mix.abortAtMs));
      if (!ended) {
        engine.Abort();
        abortedAt = Clock::now();
        res.aborted = true;
        if (options.trace)
          fprintf(stderr, "%9.1f user  closes the window\n", MsBetween(t0, abortedAt));
        // The worker wakes at once from any wait or pause.
        ended = engine.WaitForWorker(static_cast<uint32_t>(1000 * options.loadFactor));
        if (!ended) {
          res.violations.push_back("the worker still ran " +
                                   std::to_string(static_cast<int>(1000 * options.loadFactor)) +
                                   " ms after the window closed");
        }
      }
    }
    if (!res.aborted && !ended) ended = engine.WaitForWorker(limit);
    res.elapsedMs = MsBetween(start, Clock::now());
    if (!ended) {
      stillRunning = true;
      engine.Abort();
      engine.WaitForWorker(limit);
    }
    res.outcome = engine.LastOutcome();
    inProgress = engine.UpdateInProgress();
  }
  port->Close();
  sim::PedalReport report;
  if (server) {
    server->Stop();
    report = server->Report();
  } else {
    harness->Stop();
    report = harness->Report();
  }

  // What the updater said against what the pedal holds.
  res.errors = ui.Errors();
  const size_t completions = ui.Completions();
  res.completed = completions > 0;
  res.flashMatches = report.flash.matchesImage;
  const sim::FileReport* file = report.File(kModuleFileName);
  res.moduleStored = file != nullptr && file->matchesExpected.value_or(false);
  res.budgetMs = FaultBudgetMs(mix, report, res.completed, options.loadFactor);
  std::vector<std::string>& v = res.violations;

  if (stillRunning) {
    v.push_back("hang: still running after its worst case of " +
                std::to_string(static_cast<int>(res.worstCaseMs)) + " ms");
  } else if (res.elapsedMs > res.budgetMs) {
    v.push_back("took " + std::to_string(static_cast<int>(res.elapsedMs)) +
                " ms, over its budget of " + std::to_string(static_cast<int>(res.budgetMs)) +
                " ms");
  }
  if (completions > 1)
    v.push_back("the completion box came " + std::to_string(completions) + " times");
  if (res.completed) {
    if (!res.flashMatches) {
      v.push_back("completed, but the flash differs from the image at offset " +
                  std::to_string(report.flash.firstMismatch));
    }
    if (variant1 && !res.moduleStored) v.push_back("completed, but the module file is not stored");
    if (!res.errors.empty()) v.push_back("completed after the error box \"" + res.errors[0] + "\"");
    if (res.outcome != RunOutcome::Completed) {
      v.push_back(std::string("completion box with the outcome ") + OutcomeName(res.outcome));
    }
  } else if (!res.aborted) {
    if (res.errors.empty()) {
      v.push_back(std::string("ended without a box, outcome ") + OutcomeName(res.outcome));
    } else if (res.errors.size() > 2 ||
               (res.errors.size() == 2 &&
                !(ClosesAfter(res.errors[0]) && IsFileCloseText(res.errors[1])))) {
      std::string all;
      for (const std::string& e : res.errors) all += " \"" + e + "\"";
      v.push_back(std::to_string(res.errors.size()) + " error boxes:" + all);
    }
    for (const std::string& e : res.errors) {
      if (!NamesAStep(e) && e != LoadText(IDS_ANSWERS_OUT_OF_STEP))
        v.push_back("an error text that names no step: \"" + e + "\"");
    }
    if (res.outcome != RunOutcome::Refused && res.outcome != RunOutcome::TimedOut &&
        res.outcome != RunOutcome::OutOfStep) {
      v.push_back(std::string("failed with the outcome ") + OutcomeName(res.outcome));
    }
    if (!ui.Enabled() || inProgress)
      v.push_back("the controls were not given back after the error");
  }
  if (res.aborted) {
    if (const int n = ui.CallsAfter(abortedAt)) {
      v.push_back("the updater showed " + std::to_string(n) + " things after the window closed");
    }
    if (const int n = tap.WorkerSendsAfter(abortedAt)) {
      v.push_back("the worker sent " + std::to_string(n) + " messages after the window closed");
    }
  }
  // A duplicated answer before the end shifts every later answer by one request, and a later
  // refusal or loss goes unseen; a refusal whose command byte a flipped bit made 0x02 reads as a
  // success. Nothing on the wire lets an updater of this protocol tell either apart.
  for (const sim::FiredFault& f : report.faults) {
    if (f.kind != sim::MessageKind::UpdateComplete &&
        f.what.find(":duplicate") != std::string::npos) {
      res.misledBy = "an unasked-for second answer";
    }
  }
  if (res.misledBy.empty() && report.damagedAnswers > 0 && tap.SuccessCommands() > 0) {
    res.misledBy = "a damaged answer read as success";
  }
  if (!res.misledBy.empty() && res.completed) {
    for (auto it = v.begin(); it != v.end();) {
      if (StartsWith(*it, "completed, but")) {
        res.misled.push_back(*it);
        it = v.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (res.misled.empty()) res.misledBy.clear();
  for (size_t i = 0; i < report.violations.size() && i < 3; ++i) {
    const sim::Violation& pv = report.violations[i];
    v.push_back("pedal: " + pv.what + " (message " + std::to_string(pv.message) + ")");
  }
  return res;
}

}  // namespace px::chaos
