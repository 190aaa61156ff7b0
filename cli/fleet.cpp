#include "cli/fleet.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "cli/platform.h"
#include "engine/strings.h"

namespace px::cli {
namespace {

// The system's reason for a port that would not open.
std::string OpenFailureDetail(const CSerialLink& link) {
  return link.LastOpenErrorText();
}

HintCause HintOf(RunOutcome outcome, UpdateStep step, const CSerialLink& link) {
  HintFacts facts;
  facts.outcome = outcome;
  facts.step = step;
  if (outcome == RunOutcome::PortFailed) facts.openCause = OpenErrorCause(link.LastOpenError());
  facts.lineFailed = link.LineFailed();
  return HintCauseOf(facts);
}

// The longest the erase of the flash table may take.
uint32_t FlashEraseLimitMs(const EngineTiming& timing) {
  uint32_t ms = 0;
  for (const FlashImageEntry& entry : FlashImageTable) {
    if (entry.kind == kFlashErase) ms += EraseWaitMs(timing, entry.size);
  }
  return ms;
}

}  // namespace

int ExitStatusOf(const PedalEnding& ending) {
  switch (ending.outcome) {
    case RunOutcome::Completed:
      return 0;
    case RunOutcome::TimedOut:
      return 4;
    case RunOutcome::PortFailed:
      return 3;
    case RunOutcome::Aborted:
      return 130;
    default:
      return 1;
  }
}

int ExitStatusFor(const std::vector<PedalEnding>& endings, bool interrupted) {
  if (interrupted) return 130;
  if (endings.empty()) return 3;
  bool anyCounted = false;
  for (const PedalEnding& e : endings) anyCounted = anyCounted || !e.leftOut;
  bool seen[4] = {};  // 130, 3, 4, 1: the order of the rule
  for (const PedalEnding& e : endings) {
    if (e.leftOut && anyCounted) continue;
    switch (ExitStatusOf(e)) {
      case 0:
        break;
      case 130:
        seen[0] = true;
        break;
      case 3:
        seen[1] = true;
        break;
      case 4:
        seen[2] = true;
        break;
      default:
        seen[3] = true;
    }
  }
  const int rule[4] = {130, 3, 4, 1};
  for (int i = 0; i < 4; ++i) {
    if (seen[i]) return rule[i];
  }
  return 0;
}

const char* StatusWordOf(const PedalEnding& ending) {
  if (ending.leftOut) return "left-out";
  switch (ExitStatusOf(ending)) {
    case 0:
      return "completed";
    case 130:
      return "interrupted";
    case 3:
      return "port";
    case 4:
      return "timeout";
    default:
      return "failed";
  }
}

bool CConfirmGate::Arrive(size_t pedal) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pedal < arrived_.size()) arrived_[pedal] = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return decided_; });
  return go_;
}

void CConfirmGate::WaitForAll(const std::function<bool(size_t)>& ended,
                              const std::atomic<bool>& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A worker that ends says nothing here, so its end is looked at every few milliseconds.
  auto all = [&] {
    if (cancel.load() || decided_) return true;
    for (size_t i = 0; i < arrived_.size(); ++i) {
      if (!arrived_[i] && !ended(i)) return false;
    }
    return true;
  };
  while (!all()) changed_.wait_for(lock, std::chrono::milliseconds(20));
}

bool CConfirmGate::Arrived(size_t pedal) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pedal < arrived_.size() && arrived_[pedal];
}

void CConfirmGate::Decide(bool go) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (decided_) return;
  decided_ = true;
  go_ = go;
  changed_.notify_all();
}

// Members in this order: the engine goes first and joins its threads while the link and the
// front end it uses are still there.
struct CFleet::Pedal {
  Pedal(const std::string& name, const FleetSettings& s, TerminalLane lane,
        std::chrono::steady_clock::time_point start)
      : port(name),
        ui(s.mode, s.out, s.err, std::move(lane)),
        tap(s.trace, s.several ? name : "", start),
        engine(link, ui, s.timing),
        traced(s.trace != nullptr) {
    if (s.trace != nullptr) engine.SetMessageTap(&tap);
    ui.SetEraseLimitMs(FlashEraseLimitMs(s.timing));
  }
  // Bytes the link had to throw away (a full ring) show in the trace, once its threads are done.
  ~Pedal() {
    engine.Shutdown();
    link.Close();
    if (traced && link.BytesDropped() > 0) {
      tap.Note("the serial link dropped " + std::to_string(link.BytesDropped()) + " bytes");
    }
  }
  Pedal(const Pedal&) = delete;
  Pedal& operator=(const Pedal&) = delete;

  std::string port;
  CSerialLink link;
  CTerminalUi ui;
  CTraceTap tap;
  CUpdateRunner engine;
  bool traced;
  std::string openError;
  // Set by the worker before it waits at the gate.
  uint8_t deviceId = 0;
  uint8_t variant = 0;
};

CFleet::CFleet(const std::vector<std::string>& ports, const FleetSettings& settings)
    : settings_(settings), gate_(ports.size()) {
  if (settings_.several && settings_.mode == ProgressMode::Bar) {
    board_ = std::make_unique<CProgressBoard>(settings_.err, ports.size(), settings_.terminalWidth);
  }
  size_t width = 0;
  for (const std::string& p : ports) width = std::max(width, p.size());
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < ports.size(); ++i) {
    TerminalLane lane;
    if (settings_.several) lane = {ports[i], board_.get(), i, width};
    pedals_.push_back(std::make_unique<Pedal>(ports[i], settings_, lane, start));
  }
}

CFleet::~CFleet() {
  // No worker may still wait at the gate when its engine shuts down.
  gate_.Decide(false);
  pedals_.clear();
}

void CFleet::AbortAll() {
  aborted_ = true;
  gate_.Decide(false);
  for (auto& p : pedals_) p->engine.Abort();
}

namespace {

std::string ReportedCode(uint8_t deviceId) {
  char code[48];
  snprintf(code, sizeof code, "The device reported code 0x%02X.", deviceId);
  return code;
}

}  // namespace

PedalEnding CFleet::EndingOf(Pedal& pedal) const {
  PedalEnding e;
  e.port = pedal.port;
  e.outcome = pedal.engine.LastOutcome();
  // A run that the interrupt cut short (or held at the gate) ends as interrupted; one that had
  // already failed keeps its error.
  if (aborted_.load() && (e.outcome == RunOutcome::None || e.outcome == RunOutcome::Declined)) {
    e.outcome = RunOutcome::Aborted;
  }
  e.text = e.outcome == RunOutcome::Aborted ? "" : pedal.ui.Ending();
  e.detail = pedal.openError;
  e.hint = HintOf(e.outcome, pedal.ui.LastStep(), pedal.link);
  const DeviceAnswer identity = pedal.engine.LastIdentity();
  if (e.outcome == RunOutcome::Refused && identity.kind == MessageKind::IdentityReply &&
      !IsAcceptedDeviceId(identity.deviceId)) {
    e.detail = ReportedCode(identity.deviceId);
  }
  return e;
}

std::vector<PedalEnding> CFleet::Flash(const Confirm& confirm) {
  for (size_t i = 0; i < pedals_.size(); ++i) {
    Pedal& p = *pedals_[i];
    p.ui.SetConfirm([this, i, &p](uint8_t deviceId, uint8_t variant) {
      p.deviceId = deviceId;
      p.variant = variant;
      return gate_.Arrive(i);
    });
    p.ui.HoldErrors(settings_.leaveOut);
  }
  // Every port at once: the opens here, the identifications on the workers.
  for (auto& p : pedals_) {
    if (aborted_.load()) break;
    p->engine.StartReplyThread();
    p->engine.OnExecute(p->port);
    if (p->engine.LastOutcome() == RunOutcome::PortFailed) {
      p->openError = OpenFailureDetail(p->link);
      if (!p->openError.empty() && !settings_.leaveOut) p->ui.Note(p->openError);
    }
  }
  gate_.WaitForAll([this](size_t i) { return !pedals_[i]->engine.WorkerAlive(); }, aborted_);

  std::vector<PedalEnding> ready;
  std::vector<PedalEnding> others;
  std::vector<bool> leftOut(pedals_.size(), false);
  for (size_t i = 0; i < pedals_.size(); ++i) {
    Pedal& p = *pedals_[i];
    if (gate_.Arrived(i)) {
      PedalEnding e;
      e.port = p.port;
      e.identified = true;
      e.deviceId = p.deviceId;
      e.variant = p.variant;
      ready.push_back(e);
    } else if (!aborted_.load()) {
      PedalEnding e = EndingOf(p);
      e.leftOut = leftOut[i] = settings_.leaveOut;
      if (board_ != nullptr) p.ui.SetBoardLine((e.leftOut ? "left out: " : "") + e.text);
      others.push_back(e);
    }
  }
  if (board_ != nullptr) board_->Release();
  bool go = false;
  if (!aborted_.load() && !ready.empty()) go = confirm(ready, others);
  for (auto& p : pedals_) p->ui.HoldErrors(false);
  gate_.Decide(go);

  for (auto& p : pedals_) {
    while (!p->engine.WaitForWorker(100)) {
    }
  }
  for (auto& p : pedals_) {
    p->engine.Shutdown();
    p->link.Close();
  }
  if (board_ != nullptr) board_->Release();
  std::vector<PedalEnding> endings;
  for (size_t i = 0; i < pedals_.size(); ++i) {
    PedalEnding e = EndingOf(*pedals_[i]);
    e.leftOut = leftOut[i];
    e.identified = gate_.Arrived(i);
    e.deviceId = pedals_[i]->deviceId;
    e.variant = pedals_[i]->variant;
    endings.push_back(e);
  }
  return endings;
}

void CFleet::ShowResults(const std::vector<PedalEnding>& endings, bool interrupted) {
  if (!settings_.several) {
    if (pedals_.empty() || endings.empty()) return;
    PedalEnding whole = endings[0];
    if (interrupted) {
      whole.outcome = RunOutcome::Aborted;
      whole.hint = HintCause::kNone;
    }
    pedals_[0]->ui.Result(StatusWordOf(whole), ExitStatusOf(whole), HintText(whole.hint));
    return;
  }
  for (size_t i = 0; i < pedals_.size() && i < endings.size(); ++i) {
    const PedalEnding& e = endings[i];
    pedals_[i]->ui.Result(StatusWordOf(e), ExitStatusOf(e), e.leftOut ? "" : HintText(e.hint));
  }
}

void CFleet::IdentifyOne(Pedal& pedal, PedalEnding& e) {
  e.port = pedal.port;
  if (aborted_.load()) {
    e.outcome = RunOutcome::Aborted;
    return;
  }
  if (!pedal.link.Open(pedal.port, kBaudRate)) {
    e.outcome = RunOutcome::PortFailed;
    e.text = LoadText(IDS_CANT_OPEN_PORT);
    e.detail = OpenFailureDetail(pedal.link);
    e.hint = HintOf(e.outcome, UpdateStep::Identify, pedal.link);
    return;
  }
  CUpdateRunner& engine = pedal.engine;
  engine.StartReplyThread();
  const Exchanged r = engine.Identify().exchanged;
  engine.Shutdown();
  pedal.link.Close();
  const bool identity = r.answer.kind == MessageKind::IdentityReply;
  e.deviceId = r.answer.deviceId;
  e.variant = r.answer.variant;
  e.revision = r.answer.revision;
  if (aborted_.load() || r.ending == Ending::Aborted) {
    e.outcome = RunOutcome::Aborted;
  } else if (r.ending == Ending::TimedOut) {
    e.outcome = RunOutcome::TimedOut;
    e.text = LoadText(IDS_TIMEOUT_ID_REQUEST);
  } else if (r.ending == Ending::OutOfStep) {
    e.outcome = RunOutcome::OutOfStep;
    e.text = LoadText(IDS_ANSWERS_OUT_OF_STEP);
  } else if (!identity || !IsAcceptedDeviceId(e.deviceId)) {
    e.outcome = RunOutcome::Refused;
    e.text = LoadText(IDS_ILLEGAL_DEVICE);
    if (identity) e.detail = ReportedCode(e.deviceId);
  } else {
    e.outcome = RunOutcome::Completed;
    e.identified = true;
  }
  e.hint = HintOf(e.outcome, UpdateStep::Identify, pedal.link);
}

std::vector<PedalEnding> CFleet::Identify() {
  std::vector<PedalEnding> endings(pedals_.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < pedals_.size(); ++i) {
    try {
      threads.emplace_back([this, i, &endings] { IdentifyOne(*pedals_[i], endings[i]); });
    } catch (const std::system_error&) {
      IdentifyOne(*pedals_[i], endings[i]);  // no thread to spare: this one in turn
    }
  }
  for (std::thread& t : threads) t.join();
  for (PedalEnding& e : endings)
    e.leftOut = settings_.leaveOut && !e.identified && !aborted_.load();
  return endings;
}

}  // namespace px::cli
