#pragma once
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/ending.h"
#include "cli/hints.h"
#include "cli/terminal_ui.h"
#include "cli/trace.h"
#include "engine/update_session.h"
#include "serial/serial_link.h"

// Several pedals from one command: one connection and update session per port. A session
// knows nothing of the others; this holds them together: every pedal is identified at once, one
// answer lets them all go on, they all run at once, and an interrupt stops every run.
namespace px::cli {

struct FleetSettings {
  ProgressMode mode = ProgressMode::Plain;
  // More than one pedal may take part: every line and object names its port, bar mode draws a
  // board, and the run ends with a summary.
  bool several = false;
  // --all: ports where identification fails are left out rather than failed.
  bool leaveOut = false;
  EngineTiming timing;
  DeviceImages images;  // loaded and checked once, for every pedal
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
  // Identifies every pedal at once, asks once, then updates every pedal that may go on at once;
  // returns one ending per port, in the order given.
  std::vector<PedalEnding> Flash(const Confirm& confirm);
  // Identifies every pedal at once, as Flash does; returns one ending per port, in the order given.
  std::vector<PedalEnding> Identify();

  // The json result objects: with one pedal the status and exit of the whole command, with
  // several one per port. Nothing in other modes.
  void ShowResults(const std::vector<PedalEnding>& endings, bool interrupted);

  size_t Size() const { return pedals_.size(); }

 private:
  struct Pedal;
  PedalEnding EndingOf(const Pedal& pedal) const;
  // Opens the port, starts its reply thread and identifies the pedal; a flash (tell) shows
  // every step and failure as it comes.
  void IdentifyOne(Pedal& pedal, bool tell);
  void IdentifyAll(bool tell);
  void Ask(const Confirm& confirm);
  // Runs body(pedal) for every pedal on a thread of its own, and returns once all have ended.
  void OnEach(const std::function<void(Pedal&)>& body);
  void CloseAll();

  FleetSettings settings_;
  std::unique_ptr<CProgressBoard> board_;
  std::atomic<bool> aborted_{false};
  // Identify: a pedal found is a pedal done.
  bool identifying_ = false;
  std::vector<std::unique_ptr<Pedal>> pedals_;
};

}  // namespace px::cli
