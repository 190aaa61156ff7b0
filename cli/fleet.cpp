#include "cli/fleet.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "cli/platform.h"
#include "engine/strings.h"

namespace px::cli {
namespace {

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

struct CFleet::Pedal {
  Pedal(const std::string& name, const FleetSettings& s, TerminalLane lane,
        std::chrono::steady_clock::time_point start)
      : port(name),
        view(MakeTerminalUi(s.mode, s.out, s.err, std::move(lane))),
        tap(s.trace, s.several ? name : "", start),
        traced(s.trace != nullptr) {
    if (traced) link.SetTap(&tap);
    ui.SetEraseLimitMs(FlashEraseLimitMs(s.timing));
  }
  // Bytes the link had to throw away (a full ring) show in the trace, once its threads are done.
  ~Pedal() {
    link.Stop();
    link.Close();
    if (traced && serial.BytesDropped() > 0) {
      tap.Note("the serial link dropped " + std::to_string(serial.BytesDropped()) + " bytes");
    }
  }
  Pedal(const Pedal&) = delete;
  Pedal& operator=(const Pedal&) = delete;

  void Fail(RunOutcome outcome, int text) { result = {.outcome = outcome, .text = LoadText(text)}; }

  std::string port;
  CSerialLink serial;
  CPedalLink link{serial};
  std::unique_ptr<CTerminalUi> view;  // the progress mode's, and ui names it
  CTerminalUi& ui = *view;
  CTraceTap tap;
  std::unique_ptr<CUpdateSession> session;
  bool traced;
  std::string openError;
  Identification identified;
  UpdateResult result;
};

CFleet::CFleet(const std::vector<std::string>& ports, const FleetSettings& settings)
    : settings_(settings) {
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
  pedals_.clear();
}

void CFleet::AbortAll() {
  aborted_ = true;
  for (auto& p : pedals_) p->link.Stop();
}

namespace {

std::string ReportedCode(uint8_t deviceId) {
  char code[48];
  snprintf(code, sizeof code, "The device reported code 0x%02X.", deviceId);
  return code;
}

}  // namespace

PedalEnding CFleet::EndingOf(const Pedal& pedal) const {
  PedalEnding e;
  e.port = pedal.port;
  e.outcome = pedal.result.outcome;
  // An identification that found the pedal is the identify command's completion.
  if (identifying_ && pedal.identified.device) e.outcome = RunOutcome::Completed;
  // A run that the interrupt cut short (or held at the question) ends as interrupted; one that
  // had already failed keeps its error.
  if (aborted_.load() && (e.outcome == RunOutcome::None || e.outcome == RunOutcome::Declined)) {
    e.outcome = RunOutcome::Aborted;
  }
  e.text = pedal.result.text;
  if (e.outcome == RunOutcome::Aborted) e.text.clear();
  e.detail = pedal.openError;
  e.hint = HintOf(e.outcome, pedal.result.failedStep, pedal.serial);
  const DeviceAnswer& answer = pedal.identified.exchange.answer;
  e.identified = pedal.identified.device.has_value();
  if (answer.kind == MessageKind::IdentityReply) {
    e.deviceId = answer.deviceId;
    e.variant = answer.variant;
    e.revision = answer.revision;
    if (e.outcome == RunOutcome::Refused && !IsAcceptedDeviceId(answer.deviceId)) {
      e.detail = ReportedCode(answer.deviceId);
    }
  }
  e.leftOut = settings_.leaveOut && !e.identified && !aborted_.load();
  return e;
}

void CFleet::OnEach(const std::function<void(Pedal&)>& body) {
  std::vector<std::thread> threads;
  for (auto& p : pedals_) {
    try {
      threads.emplace_back([&body, &p] { body(*p); });
    } catch (const std::system_error&) {
      body(*p);  // no thread to spare: this one in turn
    }
  }
  for (std::thread& t : threads) t.join();
}

void CFleet::IdentifyOne(Pedal& p, bool tell) {
  if (aborted_.load()) {
    p.result.outcome = RunOutcome::Aborted;
    return;
  }
  if (tell) p.ui.OnPosition(0);
  const CPedalLink::Opening opening = p.link.Open(p.port);
  if (opening == CPedalLink::Opening::PortFailed) {
    p.Fail(RunOutcome::PortFailed, IDS_CANT_OPEN_PORT);
    p.openError = p.serial.LastOpenErrorText();  // the system's reason
    if (tell) p.ui.ShowError(p.result.text);
    if (tell && !p.openError.empty() && !settings_.leaveOut) p.ui.Note(p.openError);
    return;
  }
  // What the opening let pass (a setting the port refused, a held port tried again).
  if (p.traced) {
    for (const std::string& note : p.serial.LastOpenNotes()) p.tap.Note(note);
  }
  if (opening == CPedalLink::Opening::NoReplyThread) {
    p.Fail(RunOutcome::NotStarted, IDS_CANT_START_UPDATE);
    if (tell) p.ui.ShowError(p.result.text);
    return;
  }
  p.session = std::make_unique<CUpdateSession>(p.link, settings_.timing, settings_.images);
  if (p.traced) p.session->SetMessageTap(&p.tap);
  if (tell) p.ui.OnStep(UpdateStep::Identify);
  p.identified = p.session->Identify();
  if (p.identified.device) return;
  p.result = p.identified.failure;
  if (tell && p.result.outcome != RunOutcome::Aborted && !p.link.Stopped()) {
    p.ui.ShowError(p.result.text);
  }
}

void CFleet::IdentifyAll(bool tell) {
  OnEach([this, tell](Pedal& p) { IdentifyOne(p, tell); });
}

// One question for every pedal identified; the others are told as failed or left out.
void CFleet::Ask(const Confirm& confirm) {
  std::vector<PedalEnding> ready;
  std::vector<PedalEnding> others;
  for (auto& p : pedals_) {
    const PedalEnding e = EndingOf(*p);
    if (e.identified) {
      ready.push_back(e);
    } else if (!aborted_.load()) {
      if (board_ != nullptr) p->ui.SetBoardLine((e.leftOut ? "left out: " : "") + e.text);
      others.push_back(e);
    }
  }
  if (board_ != nullptr) board_->Release();
  bool go = false;
  if (!aborted_.load() && !ready.empty()) go = confirm(ready, others);
  for (auto& p : pedals_) {
    p->ui.HoldErrors(false);
    if (p->identified.device && !go) p->result.outcome = RunOutcome::Declined;
  }
}

void CFleet::CloseAll() {
  for (auto& p : pedals_) p->link.Close();
  if (board_ != nullptr) board_->Release();
}

std::vector<PedalEnding> CFleet::Flash(const Confirm& confirm) {
  for (auto& p : pedals_) p->ui.HoldErrors(settings_.leaveOut);
  IdentifyAll(true);
  Ask(confirm);
  OnEach([](Pedal& p) {
    if (p.identified.device && p.result.outcome == RunOutcome::None) {
      p.result = p.session->Run(*p.identified.device, p.ui);
    }
  });
  CloseAll();
  std::vector<PedalEnding> endings;
  for (auto& p : pedals_) endings.push_back(EndingOf(*p));
  return endings;
}

std::vector<PedalEnding> CFleet::Identify() {
  identifying_ = true;
  IdentifyAll(false);
  CloseAll();
  std::vector<PedalEnding> endings;
  for (auto& p : pedals_) endings.push_back(EndingOf(*p));
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

}  // namespace px::cli
