// px550-chaos: plays seeded fault mixes against the updater and checks every run.
//
//   px550-chaos --runs 5000 --seed 1 --jobs 4 --table
//   px550-chaos --replay 1234 --trace
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "chaos.h"
#include "wine_runs.h"

namespace {

// Under Wine every thread switch and every byte of overlapped I/O passes through the wineserver:
// the times of a Windows run are stretched this much unless --time-scale says otherwise.
constexpr double kWindowsTimeScale = 4.0;

void Usage(FILE* to) {
  fprintf(
      to,
      "usage: px550-chaos [--runs N] [--seed S] [--jobs J] [--table]\n"
      "                   [--pty | --in-process | --windows RUNNER.exe]\n"
      "                   [--real-images] [--time-scale F] [--load-factor F] [--verbose]\n"
      "       px550-chaos --replay SEED [the campaign's options] [--trace]\n"
      "Runs N updates from seed S on, each against a virtual pedal with a fault mix drawn\n"
      "from its seed, and checks that nothing hangs and nothing is falsely reported.\n"
      "--time-scale stretches every time of the mixes (for sanitizers and heavy load);\n"
      "--load-factor stretches only the budgets the runs are held to.\n"
      "--windows plays the Windows link: RUNNER.exe (px550-chaos-runner) under Wine in\n"
      "WINEPREFIX drives the updater over COM21 and up, mapped to the pedals' ptys; the times\n"
      "are stretched %gx unless --time-scale is given (scripts/chaos-windows.sh sets Wine up).\n"
      "Exit status: 0 without invariant violations, 1 with, 2 for bad options.\n",
      kWindowsTimeScale);
}

bool Number(const char* text, double& out) {
  char* end = nullptr;
  out = strtod(text, &end);
  return end != text && *end == '\0' && out >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace px::chaos;
  CampaignOptions options;
  bool table = false;
  bool verbose = false;
  bool replay = false;
  bool scaleGiven = false;
  uint64_t replaySeed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    double v = 0;
    auto value = [&](double& out) {
      if (!hasValue || !Number(argv[i + 1], out)) return false;
      ++i;
      return true;
    };
    if (a == "--runs" && value(v)) {
      options.runs = static_cast<int>(v);
    } else if (a == "--seed" && value(v)) {
      options.firstSeed = strtoull(argv[i], nullptr, 10);
    } else if (a == "--replay" && value(v)) {
      replay = true;
      replaySeed = strtoull(argv[i], nullptr, 10);
    } else if (a == "--jobs" && value(v) && v >= 1) {
      options.jobs = static_cast<int>(v);
    } else if (a == "--load-factor" && value(v) && v > 0) {
      options.run.loadFactor = v;
    } else if (a == "--time-scale" && value(v) && v > 0) {
      options.mix.timeScale = v;
      scaleGiven = true;
    } else if (a == "--pty") {
      options.run.transport = Transport::Pty;
    } else if (a == "--in-process") {
      options.run.transport = Transport::InProcess;
    } else if (a == "--windows" && hasValue) {
      options.run.transport = Transport::Windows;
      options.run.windowsRunner = argv[++i];
    } else if (a == "--real-images") {
      options.mix.realImageShare = 1.0;
    } else if (a == "--table") {
      table = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--trace") {
      options.run.trace = true;
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      fprintf(stderr, "px550-chaos: bad option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  InstallCrashReport();

  std::unique_ptr<CWineRuns> wine;
  if (options.run.transport == Transport::Windows) {
    if (!scaleGiven) options.mix.timeScale = kWindowsTimeScale;
    WineOptions w;
    w.runner = options.run.windowsRunner;
    w.jobs = replay ? 1 : options.jobs;
    wine = std::make_unique<CWineRuns>(w, options.run);
    std::string error;
    if (!wine->Start(error)) {
      fprintf(stderr, "px550-chaos: %s\n", error.c_str());
      return 2;
    }
    options.play = [&wine](const Mix& mix, size_t job) { return wine->Play(mix, job); };
  }

  if (replay) {
    const Mix mix = DrawMix(replaySeed, options.mix);
    printf("%s\n", mix.Describe().c_str());
    fflush(stdout);
    const RunResult r = options.play ? options.play(mix, 0) : RunOne(mix, options.run);
    printf("%s\n", Summarize(r).c_str());
    for (const std::string& e : r.errors) printf("  box: %s\n", e.c_str());
    for (const std::string& v : r.violations) printf("  VIOLATION: %s\n", v.c_str());
    return r.violations.empty() ? 0 : 1;
  }

  options.onRun = [&](const RunResult& r) {
    if (!r.violations.empty()) {
      printf("FAILED %s\n", Summarize(r).c_str());
      for (const std::string& v : r.violations) printf("  %s\n", v.c_str());
      printf("  %s\n  replay: %s\n", DrawMix(r.seed, options.mix).Describe().c_str(),
             ReplayCommand(r.seed, options.run, options.mix).c_str());
    } else if (!r.misled.empty()) {
      printf("misled %s\n  %s\n  replay: %s\n", Summarize(r).c_str(), r.misled[0].c_str(),
             ReplayCommand(r.seed, options.run, options.mix).c_str());
    } else if (verbose) {
      printf("ok     %s\n", Summarize(r).c_str());
    }
    fflush(stdout);
  };
  const CampaignResult result = RunCampaign(options);
  if (table) {
    printf("\n%s", FormatTable(result).c_str());
    if (wine) {
      printf("  the Windows link saw its port fail in %zu of the %zu runs whose line went down\n",
             wine->LineFailuresSeen(), wine->LinesDown());
      printf("  ... and took it for failed in %zu of the %zu runs whose line stayed up\n",
             wine->FalseLineFailures(), wine->LinesUp());
      printf("  times stretched %gx for Wine\n", options.mix.timeScale);
    }
  } else {
    printf("%zu runs, %zu with invariant violations\n", result.runs.size(), result.Violations());
  }
  return result.Violations() == 0 ? 0 : 1;
}
