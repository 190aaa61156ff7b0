#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_link.h"
#include "engine/outcome.h"
#include "engine/timing.h"

// The updater's side of one chaos run: the real engine over a port, as a window would drive it,
// and what it showed. Portable, so that the Windows build drives its own link the same way.
namespace px::chaos {

// What the updater is given for a run: its times, its images, when the window closes.
struct UpdaterRun {
  uint64_t seed = 0;
  EngineTiming timing;
  std::shared_ptr<const std::vector<uint8_t>> firmware;
  std::shared_ptr<const std::vector<uint8_t>> module;
  int64_t abortAtMs = -1;   // from Execute; -1: the window stays open
  double worstCaseMs = 0;   // the watchdog's limit, already stretched by the load factor
  double loadFactor = 1.0;  // how long the worker may still run after the window closed
};

// Everything the updater showed, and how its run went, for the checks.
struct Shown {
  std::vector<std::string> errors;  // the error boxes, in order
  size_t completions = 0;           // completion boxes
  RunOutcome outcome = RunOutcome::None;
  double elapsedMs = 0;          // from Execute until the worker ended (or the watchdog's limit)
  bool stillRunning = false;     // the worker outlived the watchdog's limit
  bool aborted = false;          // the window was closed while the worker ran
  bool ranOnAfterAbort = false;  // ... and the worker did not end within a second after it
  int callsAfterAbort = 0;       // things the updater showed after the window closed
  int sendsAfterAbort = 0;       // messages the worker sent after the window closed
  int successCommands = 0;       // answers received with the write's command byte
  bool controlsEnabled = true;   // at the end
  bool inProgress = false;       // at the end
};

struct DriveOptions {
  bool trace = false;  // every message both ways and what the updater showed, on stderr
  // Names a message for the trace; empty: its bytes in hex.
  std::function<std::string(const uint8_t* data, size_t length, bool in)> describe;
};

// Starts the reply thread, executes on portName, closes the window at abortAtMs if the worker
// still runs, and waits for the worker at most worstCaseMs. Returns once the runner has gone.
Shown DriveUpdate(IPortLink& port, const std::string& portName, const UpdaterRun& run,
                  const DriveOptions& options);

const char* OutcomeName(RunOutcome outcome);
// The outcome a name stands for; false for a name OutcomeName never gives.
bool OutcomeOfName(const std::string& name, RunOutcome& outcome);

}  // namespace px::chaos
