// What a benign fault costs: the time a whole update takes beyond a clean one when one answer is
// lost, late or refused, against what the protocol itself spends on that fault (its reply wait,
// its pause, one resend on the line). The pedal is paced at a baud rate and the updater keeps its
// real times (5 s reply waits), so one run takes a few seconds at 921,600 and about a quarter of
// a minute at 115,200. Every row is played twice in the same process: with the waits for answers
// still owed sized from the line (as shipped), and with a whole reply wait for each (as before).
// Medians over the runs; the runs of one rate are played side by side.
//
//   bench_fault_cost [--runs N] [--baud B]... [--jobs J]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chaos.h"
#include "engine/flash_table.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

namespace {

using namespace px;
using namespace px::chaos;

constexpr int kBlocks = 8;
constexpr uint32_t kModuleBytes = 100;

struct Fault {
  const char* label;
  // The pedal's rules for a run of this seed, and what the protocol itself spends on them (ms),
  // given one block's time on the line and the updater's times.
  std::function<std::vector<std::string>(uint64_t seed)> rules;
  std::function<double(uint64_t seed, double blockMs, const EngineTiming& t)> designMs;
};

// Latencies of 0 to 400 ms, one for every answer of a run (a radio link that holds each answer
// back a little), drawn from the seed: the rules that play them.
std::vector<std::pair<std::string, int>> Latencies(uint64_t seed) {
  std::mt19937 rng(static_cast<uint32_t>(seed * 7919 + 17));
  std::vector<std::pair<std::string, int>> out;
  const auto add = [&](const std::string& what) {
    out.emplace_back(what, static_cast<int>(rng() % 401));
  };
  for (const char* kind :
       {"IdentityRequest", "GetSemaphore", "AudioMute", "UpdateStart", "FileDelete", "FileOpen",
        "FileWrite", "FileClose", "RomErase", "UpdateComplete"}) {
    add(std::string(kind) + ":1");
  }
  add("ResultRequest:1");
  add("ResultRequest:2");
  for (int b = 0; b < kBlocks; ++b) add("RomWrite#" + std::to_string(b) + ":1");
  return out;
}

std::vector<Fault> Faults() {
  // A lost answer, a lost request, a lost ResultReply: one reply wait, the pause before a block's
  // resend (none before other resends), and the resend is answered as the first copy would have
  // been.
  const auto lost = [](uint32_t pause) {
    return [pause](uint64_t, double, const EngineTiming& t) {
      return static_cast<double>(t.replyWaitMs + pause);
    };
  };
  return {
      {"a lost answer (block 3)",
       [](uint64_t) { return std::vector<std::string>{"RomWrite#3:1:silence"}; },
       [](uint64_t, double, const EngineTiming& t) {
         return static_cast<double>(t.replyWaitMs + t.resendPauseMs);
       }},
      {"a lost request (block 1)",
       [](uint64_t) { return std::vector<std::string>{"RomWrite#1:1:silence"}; },
       [](uint64_t, double, const EngineTiming& t) {
         return static_cast<double>(t.replyWaitMs + t.resendPauseMs);
       }},
      {"a lost ResultReply (2nd)",
       [](uint64_t) { return std::vector<std::string>{"ResultRequest:2:silence"}; }, lost(0)},
      // The answer comes 5.3 s late: the protocol takes it as it comes (its resend is answered
      // after it).
      {"an answer 5.3 s late (block 3)",
       [](uint64_t) { return std::vector<std::string>{"RomWrite#3:1:late=5300"}; },
       [](uint64_t, double, const EngineTiming&) { return 5300.0; }},
      // A refusal: the pause, and the block once more on the line.
      {"block 6 refused once",
       [](uint64_t) { return std::vector<std::string>{"RomWrite#6:1:status=22"}; },
       [](uint64_t, double blockMs, const EngineTiming& t) { return t.resendPauseMs + blockMs; }},
      // The line stalls 3 s before one answer: the protocol waits it out, no resend.
      {"a 3 s stall (block 3)",
       [](uint64_t) { return std::vector<std::string>{"RomWrite#3:1:late=3000"}; },
       [](uint64_t, double, const EngineTiming&) { return 3000.0; }},
      // Every answer held back 0 to 400 ms: the protocol waits for each, no more.
      {"every answer 0-400 ms late",
       [](uint64_t seed) {
         std::vector<std::string> rules;
         for (const auto& [what, ms] : Latencies(seed)) {
           rules.push_back(what + ":late=" + std::to_string(ms));
         }
         return rules;
       },
       [](uint64_t seed, double, const EngineTiming&) {
         double sum = 0;
         for (const auto& [what, ms] : Latencies(seed)) sum += ms;
         return sum;
       }},
  };
}

Mix Make(uint64_t seed, uint32_t baud, bool fromLine, const std::vector<std::string>& rules) {
  Mix m;
  m.seed = seed;
  m.classes = 1u << static_cast<unsigned>(FaultClass::Late);
  m.timing = EngineTiming{};
  m.timing.answerWaitsFromLine = fromLine;
  m.pedal.member = 1;
  m.pedal.replyLatencyMs = 1;
  m.pedal.eraseTimeMs = 50;
  m.pedal.seed = seed;
  m.pedal.baud = baud;
  m.pedal.updaterReplyWaitMs = m.timing.replyWaitMs;
  m.pedal.settleAfterUpdateStartMs = m.timing.updateStartPauseMs;
  std::mt19937 rng(static_cast<uint32_t>(seed));
  std::vector<uint8_t> image(kBlocks * kWriteBlock);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  m.firmware = std::make_shared<const std::vector<uint8_t>>(image);
  m.module = std::make_shared<const std::vector<uint8_t>>(kModuleBytes, 0x55);
  m.pedal.expectedImage = image;
  m.pedal.expectedFiles[kModuleFileName] = *m.module;
  for (const std::string& text : rules) {
    std::string error;
    if (AddFaultRule(m, text, error)) continue;
    fprintf(stderr, "bad rule %s: %s\n", text.c_str(), error.c_str());
    exit(2);
  }
  return m;
}

struct Job {
  int row;  // -1: the clean run
  bool fromLine;
  uint64_t seed;
  double ms = 0;
  bool clean = false;  // completed without a box and without a violation
  std::string what;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Table(uint32_t baud, int runs, int jobs) {
  const std::vector<Fault> faults = Faults();
  const EngineTiming t{};
  const double blockMs = (PackedSize(kWriteBlock) + kRomWriteOverhead) * 10000.0 / baud;
  std::vector<Job> all;
  for (int row = -1; row < static_cast<int>(faults.size()); ++row) {
    for (const bool fromLine : {false, true}) {
      for (int i = 0; i < runs; ++i)
        all.push_back({row, fromLine, static_cast<uint64_t>(i + 1), 0, false, {}});
    }
  }
  RunOptions options;
  options.transport = Transport::InProcess;
  options.loadFactor = 3;
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs; ++j) {
    threads.emplace_back([&] {
      for (size_t k; (k = next.fetch_add(1)) < all.size();) {
        Job& job = all[k];
        const std::vector<std::string> rules =
            job.row < 0 ? std::vector<std::string>{} : faults[job.row].rules(job.seed);
        const RunResult r = RunOne(Make(job.seed, baud, job.fromLine, rules), options);
        job.ms = r.elapsedMs;
        job.clean = r.completed && r.errors.empty() && r.violations.empty();
        if (!job.clean) {
          job.what = !r.errors.empty()       ? r.errors[0]
                     : !r.violations.empty() ? r.violations[0]
                                             : "not completed";
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();

  const auto times = [&](int row, bool fromLine, bool* allClean, std::string* what) {
    std::vector<double> v;
    for (const Job& j : all) {
      if (j.row != row || j.fromLine != fromLine) continue;
      v.push_back(j.ms);
      if (!j.clean) {
        *allClean = false;
        *what = j.what;
      }
    }
    return v;
  };
  printf(
      "\nPedal paced at %u baud, member 1 (module file of %u bytes), %d blocks (a block takes %.0f "
      "ms on the line); the updater's own times; medians of %d, runs side by side in %d threads.\n",
      baud, kModuleBytes, kBlocks, blockMs, runs, jobs);
  printf("Extra time beyond a clean run, in s:\n");
  printf("  %-32s %8s %12s %12s %10s\n", "fault, once in the run", "design", "whole wait",
         "from line", "over design");
  bool cleanOk = true;
  std::string cleanWhat;
  const double cleanBefore = Median(times(-1, false, &cleanOk, &cleanWhat));
  const double cleanAfter = Median(times(-1, true, &cleanOk, &cleanWhat));
  printf("  %-32s %8s %11.2fs %11.2fs %10s %s\n", "(clean run, whole time)", "", cleanBefore / 1000,
         cleanAfter / 1000, "", cleanOk ? "" : ("NOT CLEAN: " + cleanWhat).c_str());
  for (size_t row = 0; row < faults.size(); ++row) {
    std::vector<double> design;
    for (int i = 0; i < runs; ++i) {
      design.push_back(faults[row].designMs(static_cast<uint64_t>(i + 1), blockMs, t));
    }
    bool ok = true;
    std::string what;
    const double before = Median(times(static_cast<int>(row), false, &ok, &what)) - cleanBefore;
    const double after = Median(times(static_cast<int>(row), true, &ok, &what)) - cleanAfter;
    const double d = Median(design);
    printf("  %-32s %7.2fs %11.2fs %11.2fs %+9.2fs %s\n", faults[row].label, d / 1000,
           before / 1000, after / 1000, (after - d) / 1000,
           ok ? "" : ("NOT CLEAN: " + what).c_str());
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int jobs = 8;
  std::vector<uint32_t> bauds;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--baud") && i + 1 < argc) {
      bauds.push_back(static_cast<uint32_t>(atoi(argv[++i])));
    } else if (!strcmp(argv[i], "--jobs") && i + 1 < argc) {
      jobs = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: bench_fault_cost [--runs N] [--baud B]... [--jobs J]\n");
      return 2;
    }
  }
  if (runs < 1 || jobs < 1) {
    fprintf(stderr, "bench_fault_cost: --runs and --jobs take a number above 0\n");
    return 2;
  }
  if (bauds.empty()) bauds = {921600, 115200};
  printf(
      "design: what the protocol itself spends on the fault (its 5 s reply wait, the 100 ms pause "
      "before a block's resend, a refused block once more on the line, the delay it waits out);\n"
      "whole wait: a whole reply wait for each answer still owed to a resent request (before);\n"
      "from line: that wait sized from the request-times of this run (now).\n");
  for (const uint32_t baud : bauds) Table(baud, runs, jobs);
  return 0;
}
