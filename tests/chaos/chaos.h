#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drive.h"
#include "engine/update_runner.h"
#include "sim/pedal_config.h"
#include "sim/pedal_report.h"

// The reliability campaign: seeded fault mixes from the virtual pedal played against the real
// engine, each run checked against the invariants of an honest updater.
namespace px::chaos {

enum class FaultClass : uint8_t {
  Clean,
  Drop,           // bytes lost on the line, either way
  Flip,           // bits flipped on the line, either way
  Late,           // an answer held back, the pedal stalled meanwhile
  Duplicate,      // an answer sent twice
  Refusal,        // error statuses, a busy semaphore, a pedal not in update mode
  Silence,        // requests that get no answer
  RealTime,       // clock and active-sensing bytes among the answers
  Stray,          // loose bytes, foreign messages and unknown device commands
  DeviceRequest,  // the pedal's own identity requests and device commands
  Disconnect,     // the line goes down at a random byte or message
  Battery,        // the battery sags before or during the write
  Abort,          // the user closes the window mid-run
};
inline constexpr size_t kFaultClassCount = static_cast<size_t>(FaultClass::Abort) + 1;
const char* ClassName(FaultClass c);

// Pty: the Linux link over a pseudo-terminal; InProcess: no port at all; Windows: the Windows
// link under Wine, over a COM port mapped to a pseudo-terminal.
enum class Transport { Pty, InProcess, Windows };

// Everything one run does differently, drawn from its seed alone.
struct Mix {
  uint64_t seed = 0;
  uint32_t classes = 0;  // one bit per FaultClass
  sim::PedalConfig pedal;
  EngineTiming timing;
  std::shared_ptr<const std::vector<uint8_t>> firmware;
  std::shared_ptr<const std::vector<uint8_t>> module;
  bool realImages = false;
  int64_t abortAtMs = -1;  // from Execute; -1: no abort

  bool Has(FaultClass c) const { return (classes >> static_cast<unsigned>(c)) & 1u; }
  uint32_t EraseWaitMs() const;
  std::string Describe() const;
};

struct MixOptions {
  // Share of runs that carry the real device images instead of smaller ones.
  double realImageShare = 0.05;
  // Stretches every time of the mix, the updater's and the pedal's alike, keeping their
  // proportions: sanitizers and heavy load slow the threads, and a wait of 40 ms is then no
  // longer far above a scheduling stall.
  double timeScale = 1.0;
};

Mix DrawMix(uint64_t seed, const MixOptions& options = {});
// Adds a pedal fault rule written as px550-sim's --fault takes it; false, with the reason, when
// it does not read as one.
bool AddFaultRule(Mix& mix, const std::string& text, std::string& error);

// The longest a run may take when every wait the updater allows times out: the watchdog's limit.
double WorstCaseMs(const Mix& mix);
// What the run may take given the faults that actually fired: its nominal work plus the waits
// that each fault can cost. loadFactor stretches it for sanitizers and parallel runs.
double FaultBudgetMs(const Mix& mix, const sim::PedalReport& report, bool completed,
                     double loadFactor);

struct RunOptions {
  Transport transport = Transport::Pty;
  double loadFactor = 1.0;
  bool trace = false;         // every message both ways and what the updater showed, on stderr
  std::string windowsRunner;  // Transport::Windows: px550-chaos-runner.exe
};

struct RunResult {
  uint64_t seed = 0;
  uint32_t classes = 0;
  Transport transport = Transport::Pty;
  bool realImages = false;
  RunOutcome outcome = RunOutcome::None;
  bool completed = false;
  bool aborted = false;
  std::vector<std::string> errors;
  double elapsedMs = 0;
  double budgetMs = 0;
  double worstCaseMs = 0;
  bool flashMatches = false;
  bool moduleStored = false;
  std::vector<std::string> violations;
  // A false completion that the protocol itself cannot prevent, counted apart: an unasked-for
  // second answer (replies carry no sequence number, so it reads as the next request's), or an
  // answer damaged into one that reads as success (replies carry no check). Empty otherwise.
  std::string misledBy;
  std::vector<std::string> misled;
};

RunResult RunOne(const Mix& mix, const RunOptions& options);
// What the updater of a run is given: the updater's half of the mix.
UpdaterRun UpdaterRunOf(const Mix& mix, const RunOptions& options);
DriveOptions DriveOptionsOf(const RunOptions& options);
// A run's result before anything was played: its seed, classes and worst case.
RunResult Unplayed(const Mix& mix, const RunOptions& options);
// The checks of a run, whichever link played it: what the updater showed against what the
// pedal holds and saw.
RunResult Judge(const Mix& mix, const RunOptions& options, const Shown& shown,
                const sim::PedalReport& report);
std::string ReplayCommand(uint64_t seed, const RunOptions& run, const MixOptions& mix);
// One line: seed, classes, what the updater said, time against budget.
std::string Summarize(const RunResult& run);

// Whether an error text is one of the engine's texts that name the step that failed.
bool NamesAStep(const std::string& text);

struct CampaignOptions {
  uint64_t firstSeed = 1;
  int runs = 100;
  int jobs = 1;
  RunOptions run;
  MixOptions mix;
  // Called once per run as it ends, one call at a time.
  std::function<void(const RunResult&)> onRun;
  // Plays one run on job `job` (0 .. jobs - 1); empty: RunOne.
  std::function<RunResult(const Mix& mix, size_t job)> play;
};

struct CampaignResult {
  std::vector<RunResult> runs;
  double wallMs = 0;
  size_t Violations() const;
};

CampaignResult RunCampaign(const CampaignOptions& options);
std::string FormatTable(const CampaignResult& result);

// On a crash or a sanitizer's report, prints the seeds of the runs then in progress.
void InstallCrashReport();

}  // namespace px::chaos
