#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/hints.h"
#include "cli/terminal_ui.h"
#include "cli/trace.h"
#include "engine/update_runner.h"
#include "serial/serial_link.h"

// Several pedals from one command: one link, reply thread and engine run per port, all at once.
// The engine knows nothing of the others; this holds them together: everyone is identified
// first, one answer lets them all go on, and an interrupt stops every run.
namespace px::cli {

// How one pedal's run or identification ended.
struct PedalEnding {
  std::string port;
  RunOutcome outcome = RunOutcome::None;
  std::string text;      // the completion or error text ("" when interrupted)
  std::string detail;    // why the port would not open, or the code of a strange device
  bool leftOut = false;  // --all: nothing answered there, or not a PX-550LN
  HintCause hint = HintCause::kNone;  // what to try, where the ending has a likely cause
  // What identified itself (identify, and flash runs that got past identification).
  bool identified = false;
  uint8_t deviceId = 0;
  uint8_t variant = 0;
  uint32_t revision = 0;
};

// The exit status of one pedal's ending, and of all of them (the rule of --help): 130 when
// interrupted, else 0 when every counted pedal completed, else the first that applies of 3 (a
// port could not be opened), 4 (a pedal did not answer), 1. Ports left out do not count unless
// nothing else is left.
int ExitStatusOf(const PedalEnding& ending);
int ExitStatusFor(const std::vector<PedalEnding>& endings, bool interrupted);
// "completed", "port", "timeout", "interrupted", "left-out", "failed".
const char* StatusWordOf(const PedalEnding& ending);

// Holds each pedal after its identification until one decision covers them all.
class CConfirmGate {
 public:
  explicit CConfirmGate(size_t pedals) : arrived_(pedals, false) {}
  // From a pedal's worker: waits for the decision.
  bool Arrive(size_t pedal);
  // Waits until every pedal has arrived or ended (ended(i) polled), or cancel is set.
  void WaitForAll(const std::function<bool(size_t)>& ended, const std::atomic<bool>& cancel);
  bool Arrived(size_t pedal) const;
  // The first decision counts; the later ones are ignored.
  void Decide(bool go);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> arrived_;
  bool decided_ = false;
  bool go_ = false;
};

struct FleetSettings {
  ProgressMode mode = ProgressMode::Plain;
  // More than one pedal may take part: every line and object names its port, bar mode draws a
  // board, and the run ends with a summary.
  bool several = false;
  // --all: ports where identification fails are left out rather than failed.
  bool leaveOut = false;
  EngineTiming timing;
  FILE* trace = nullptr;
  FILE* out = stdout;
  FILE* err = stderr;
  size_t terminalWidth = 0;
};

class CFleet {
 public:
  CFleet(const std::vector<std::string>& ports, const FleetSettings& settings);
  ~CFleet();
  CFleet(const CFleet&) = delete;
  CFleet& operator=(const CFleet&) = delete;

  // From any thread at any time: every run stops at once and nothing more is sent.
  void AbortAll();
  bool Aborted() const { return aborted_.load(); }

  // Asked once every pedal is identified (or has failed): the pedals that would be updated
  // (identified) and those that failed or were left out. True lets them go on.
  using Confirm = std::function<bool(const std::vector<PedalEnding>& ready,
                                     const std::vector<PedalEnding>& others)>;
  // Updates every pedal; returns one ending per port, in the order given.
  std::vector<PedalEnding> Flash(const Confirm& confirm);
  // Identifies every pedal at once; returns one ending per port, in the order given.
  std::vector<PedalEnding> Identify();

  // The json result objects: with one pedal the status and exit of the whole command, with
  // several one per port. Nothing in other modes.
  void ShowResults(const std::vector<PedalEnding>& endings, bool interrupted);

  size_t Size() const { return pedals_.size(); }

 private:
  struct Pedal;
  PedalEnding EndingOf(Pedal& pedal) const;
  void IdentifyOne(Pedal& pedal, PedalEnding& ending);

  FleetSettings settings_;
  std::unique_ptr<CProgressBoard> board_;
  CConfirmGate gate_;
  std::atomic<bool> aborted_{false};
  std::vector<std::unique_ptr<Pedal>> pedals_;
};

}  // namespace px::cli
