// Many runs side by side, a watchdog over them, and the table at the end.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "chaos.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define PX_CHAOS_SANITIZED 1
#endif

namespace px::chaos {
namespace {

using Clock = std::chrono::steady_clock;

// The seed each job is playing (seed + 1; 0 when idle), readable from a signal handler.
constexpr size_t kSlots = 256;
std::array<std::atomic<uint64_t>, kSlots> g_playing{};

void WriteText(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') ++n;
  ssize_t ignored = write(STDERR_FILENO, s, n);
  (void)ignored;
}

void WriteNumber(uint64_t v) {
  char buf[24];
  size_t i = sizeof buf;
  buf[--i] = '\0';
  do {
    buf[--i] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && i > 0);
  WriteText(buf + i);
}

// Async-signal-safe: only atomics and write().
void ReportPlaying() {
  WriteText("\nchaos: died while playing seed(s):");
  for (const std::atomic<uint64_t>& slot : g_playing) {
    const uint64_t s = slot.load();
    if (s == 0) continue;
    WriteText(" ");
    WriteNumber(s - 1);
  }
  WriteText("\nchaos: replay one with: px550-chaos --replay SEED --trace\n");
}

void OnFatalSignal(int sig) {
  ReportPlaying();
  signal(sig, SIG_DFL);
  raise(sig);
}

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A text with its status replaced by %d again, so that the table counts texts, not statuses
// (a flipped bit makes every status possible).
std::string Template(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || text.empty() || text.back() != ')') return text;
  return text.substr(0, colon + 1) + "%d)";
}

std::string Pad(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

}  // namespace

void InstallCrashReport() {
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, OnFatalSignal);
#ifdef PX_CHAOS_SANITIZED
  __sanitizer_set_death_callback(ReportPlaying);
#endif
}

size_t CampaignResult::Violations() const {
  size_t n = 0;
  for (const RunResult& r : runs) n += !r.violations.empty();
  return n;
}

CampaignResult RunCampaign(const CampaignOptions& options) {
  CampaignResult result;
  const int runs = std::max(options.runs, 0);
  result.runs.resize(static_cast<size_t>(runs));
  const int jobs = std::clamp(options.jobs, 1, static_cast<int>(std::min<size_t>(kSlots, 64)));
  const Clock::time_point t0 = Clock::now();

  std::atomic<int> next{0};
  std::mutex reportMutex;
  // Each job's deadline, in ms since t0: far past its worst case, a run has deadlocked.
  std::array<std::atomic<int64_t>, kSlots> deadline{};
  std::atomic<bool> done{false};

  auto job = [&](size_t slot) {
    for (;;) {
      const int i = next.fetch_add(1);
      if (i >= runs) break;
      const uint64_t seed = options.firstSeed + static_cast<uint64_t>(i);
      const Mix mix = DrawMix(seed, options.mix);
      deadline[slot] =
          static_cast<int64_t>(MsSince(t0) + 2 * WorstCaseMs(mix) * options.run.loadFactor + 60000);
      g_playing[slot] = seed + 1;
      RunResult r = options.play ? options.play(mix, slot) : RunOne(mix, options.run);
      g_playing[slot] = 0;
      deadline[slot] = 0;
      {
        std::lock_guard<std::mutex> lock(reportMutex);
        if (options.onRun) options.onRun(r);
      }
      result.runs[static_cast<size_t>(i)] = std::move(r);
    }
  };

  std::thread watchdog([&] {
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      for (size_t s = 0; s < static_cast<size_t>(jobs); ++s) {
        const int64_t d = deadline[s].load();
        if (d != 0 && MsSince(t0) > static_cast<double>(d)) {
          WriteText("\nchaos: a run is stuck far beyond its worst case");
          ReportPlaying();
          std::abort();
        }
      }
    }
  });
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs; ++j) threads.emplace_back(job, static_cast<size_t>(j));
  for (std::thread& t : threads) t.join();
  done = true;
  watchdog.join();
  result.wallMs = MsSince(t0);
  return result;
}

std::string FormatTable(const CampaignResult& result) {
  struct ClassRow {
    size_t runs = 0, completed = 0, failed = 0, aborted = 0, misled = 0, violations = 0;
  };
  std::array<ClassRow, kFaultClassCount> byClass{};
  std::map<std::string, size_t> byText;
  std::map<std::string, size_t> byViolation;
  size_t completed = 0, failed = 0, aborted = 0, violating = 0, realImages = 0, misled = 0;
  std::map<std::string, size_t> byLimit;
  const RunResult* tightest = nullptr;
  const RunResult* longest = nullptr;
  for (const RunResult& r : result.runs) {
    const bool bad = !r.violations.empty();
    realImages += r.realImages;
    misled += !r.misled.empty();
    if (!r.misled.empty()) ++byLimit[r.misledBy];
    completed += r.completed;
    aborted += r.aborted && !r.completed;
    violating += bad;
    if (!r.completed && !r.errors.empty()) {
      ++failed;
      ++byText[Template(r.errors.front())];
    }
    for (const std::string& v : r.violations)
      ++byViolation[v.substr(0, v.find_first_of("0123456789\""))];
    if (r.budgetMs > 0 &&
        (!tightest || r.elapsedMs / r.budgetMs > tightest->elapsedMs / tightest->budgetMs)) {
      tightest = &r;
    }
    if (!longest || r.elapsedMs > longest->elapsedMs) longest = &r;
    for (size_t c = 0; c < kFaultClassCount; ++c) {
      if (!((r.classes >> c) & 1u)) continue;
      ClassRow& row = byClass[c];
      ++row.runs;
      row.completed += r.completed;
      row.failed += !r.completed && !r.errors.empty();
      row.aborted += r.aborted && !r.completed;
      row.misled += !r.misled.empty();
      row.violations += bad;
    }
  }

  std::ostringstream s;
  char line[256];
  snprintf(line, sizeof line, "%zu runs in %.1f s\n", result.runs.size(), result.wallMs / 1000);
  s << line;
  snprintf(line, sizeof line, "  with the real images       %6zu\n", realImages);
  s << line;
  snprintf(line, sizeof line, "  completed                  %6zu\n", completed);
  s << line;
  snprintf(line, sizeof line, "  failed with an error box   %6zu\n", failed);
  s << line;
  std::vector<std::pair<std::string, size_t>> texts(byText.begin(), byText.end());
  std::sort(texts.begin(), texts.end(), [](const auto& a, const auto& b) {
    return a.second > b.second || (a.second == b.second && a.first < b.first);
  });
  for (const auto& [text, n] : texts) {
    snprintf(line, sizeof line, "    %6zu  %s\n", n, text.c_str());
    s << line;
  }
  snprintf(line, sizeof line, "  window closed mid-run      %6zu\n", aborted);
  s << line;
  snprintf(line, sizeof line, "  misled, a protocol limit   %6zu\n", misled);
  s << line;
  for (const auto& [what, n] : byLimit) {
    snprintf(line, sizeof line, "    %6zu  by %s\n", n, what.c_str());
    s << line;
  }
  snprintf(line, sizeof line, "  invariant violations       %6zu\n", violating);
  s << line;
  for (const auto& [what, n] : byViolation) {
    snprintf(line, sizeof line, "    %6zu  %s...\n", n, what.c_str());
    s << line;
  }
  if (tightest) {
    snprintf(line, sizeof line,
             "  longest against its budget seed %llu: %.0f ms of %.0f ms (%.0f %%)\n",
             static_cast<unsigned long long>(tightest->seed), tightest->elapsedMs,
             tightest->budgetMs, 100 * tightest->elapsedMs / tightest->budgetMs);
    s << line;
  }
  if (longest) {
    snprintf(
        line, sizeof line,
        "  longest run                seed %llu: %.0f ms (budget %.0f ms, worst case %.0f ms)\n",
        static_cast<unsigned long long>(longest->seed), longest->elapsedMs, longest->budgetMs,
        longest->worstCaseMs);
    s << line;
  }
  s << "  runs by fault class        runs  completed  failed  closed  misled  violations\n";
  for (size_t c = 0; c < kFaultClassCount; ++c) {
    const ClassRow& row = byClass[c];
    snprintf(line, sizeof line, "    %s %6zu %10zu %7zu %7zu %7zu %11zu\n",
             Pad(ClassName(static_cast<FaultClass>(c)), 22).c_str(), row.runs, row.completed,
             row.failed, row.aborted, row.misled, row.violations);
    s << line;
  }
  return s.str();
}

}  // namespace px::chaos
