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
  s << "px550-chaos --replay " << seed;
  if (run.transport == Transport::Windows) {
    s << " --windows " << run.windowsRunner;
  } else {
    s << (run.transport == Transport::InProcess ? " --in-process" : " --pty");
  }
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
  const Clock::time_point t0 = Clock::now();
  sim::PedalConfig config = mix.pedal;
  if (options.trace) {
    config.trace = [t0](const std::string& line) {
      fprintf(stderr, "%9.1f pedal %s\n", MsBetween(t0, Clock::now()), line.c_str());
    };
  }

  std::unique_ptr<sim::CFdServer> server;
  std::unique_ptr<sim::CPedalHarness> harness;
  std::unique_ptr<IPortLink> port;
  std::string portName = "pedal";
  if (options.transport == Transport::Pty) {
    std::string error;
    const int master = sim::OpenPty(portName, error);
    if (master < 0) {
      RunResult res = Unplayed(mix, options);
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

  const Shown shown =
      DriveUpdate(*port, portName, UpdaterRunOf(mix, options), DriveOptionsOf(options));
  port->Close();
  sim::PedalReport report;
  if (server) {
    server->Stop();
    report = server->Report();
  } else {
    harness->Stop();
    report = harness->Report();
  }
  return Judge(mix, options, shown, report);
}

UpdaterRun UpdaterRunOf(const Mix& mix, const RunOptions& options) {
  UpdaterRun run;
  run.seed = mix.seed;
  run.timing = mix.timing;
  run.firmware = mix.firmware;
  run.module = mix.module;
  run.abortAtMs = mix.abortAtMs;
  run.worstCaseMs = WorstCaseMs(mix) * options.loadFactor;
  run.loadFactor = options.loadFactor;
  return run;
}

DriveOptions DriveOptionsOf(const RunOptions& options) {
  DriveOptions drive;
  drive.trace = options.trace;
  drive.describe = [](const uint8_t* data, size_t length, bool in) {
    return sim::CPedalModel::Describe(data, length, in);
  };
  return drive;
}

RunResult Unplayed(const Mix& mix, const RunOptions& options) {
  RunResult res;
  res.seed = mix.seed;
  res.classes = mix.classes;
  res.transport = options.transport;
  res.realImages = mix.realImages;
  res.worstCaseMs = WorstCaseMs(mix) * options.loadFactor;
  return res;
}

RunResult Judge(const Mix& mix, const RunOptions& options, const Shown& shown,
                const sim::PedalReport& report) {
  RunResult res = Unplayed(mix, options);
  const bool variant1 = mix.pedal.member == 1;
  std::vector<std::string>& v = res.violations;
  res.aborted = shown.aborted;
  res.elapsedMs = shown.elapsedMs;
  res.outcome = shown.outcome;
  if (shown.ranOnAfterAbort) {
    v.push_back("the worker still ran " +
                std::to_string(static_cast<int>(1000 * options.loadFactor)) +
                " ms after the window closed");
  }
  const bool stillRunning = shown.stillRunning;
  const bool inProgress = shown.inProgress;

  // What the updater said against what the pedal holds.
  res.errors = shown.errors;
  const size_t completions = shown.completions;
  res.completed = completions > 0;
  res.flashMatches = report.flash.matchesImage;
  const sim::FileReport* file = report.File(kModuleFileName);
  res.moduleStored = file != nullptr && file->matchesExpected.value_or(false);
  res.budgetMs = FaultBudgetMs(mix, report, res.completed, options.loadFactor);

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
    if (!shown.controlsEnabled || inProgress)
      v.push_back("the controls were not given back after the error");
  }
  if (res.aborted) {
    if (const int n = shown.callsAfterAbort) {
      v.push_back("the updater showed " + std::to_string(n) + " things after the window closed");
    }
    if (const int n = shown.sendsAfterAbort) {
      v.push_back("the worker sent " + std::to_string(n) + " messages after the window closed");
    }
  }
  // A duplicated answer before the end shifts every later answer by one request, and a later
  // refusal or loss goes unseen; a refusal whose command byte a flipped bit made 0x02 reads as a
  // success. Nothing on the wire lets an updater of this protocol tell either apart.
  for (const sim::FiredFault& f : report.faults) {
    if (f.kind != sim::WireKind::UpdateComplete && f.what.find(":duplicate") != std::string::npos) {
      res.misledBy = "an unasked-for second answer";
    }
  }
  if (res.misledBy.empty() && report.damagedAnswers > 0 && shown.successCommands > 0) {
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
