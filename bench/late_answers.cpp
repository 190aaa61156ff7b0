// Which late or repeated answers still mislead the updater. Replies carry no sequence number, so
// an answer that comes after the updater has moved on reads as the answer to whatever it asks
// next. Each case here delays or repeats block 1's answer and has the pedal refuse block 2 for
// good: the only right ending is "Transfer error occurred(ROM write:23)"; a completion means
// block 2 was skipped over a stale answer.
//
// A completion is false here by construction; the other right ending is the box for answers out
// of step, which says that a refusal may have gone unseen.
//
//   bench_late_answers [--runs N] [--pty] [--trace] [--baud B]
//
// With --baud the pedal paces its line at B and the updater keeps its real times (5 s reply
// waits); row C is played then, over gaps that reach past a block's time on the line, and after
// it the benign rows, where nothing is refused and the only right ending is a completion.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "chaos.h"
#include "engine/strings.h"

namespace {

using namespace px;
using namespace px::chaos;

constexpr uint32_t kWaitMs = 60;

Mix Base(uint64_t seed) {
  Mix m;
  m.seed = seed;
  m.classes = 1u << static_cast<unsigned>(FaultClass::Late);
  EngineTiming& t = m.timing;
  t.replyWaitMs = kWaitMs;
  t.resendPauseMs = 2;
  t.semaphorePauseMs = 1;
  t.updateStartPauseMs = 10;
  t.eraseBytesPerMs = sim::kFlashSize / (kWaitMs * 11 / 2);
  t.eraseExtraMs = kWaitMs;
  m.pedal.member = 0;
  m.pedal.replyLatencyMs = 1;
  m.pedal.eraseTimeMs = 50;
  m.pedal.seed = seed;
  m.pedal.updaterReplyWaitMs = kWaitMs;
  std::mt19937 rng(static_cast<uint32_t>(seed));
  std::vector<uint8_t> image(4 * kWriteBlock);
  for (uint8_t& b : image) b = static_cast<uint8_t>(rng());
  m.firmware = std::make_shared<const std::vector<uint8_t>>(image);
  m.module = std::make_shared<const std::vector<uint8_t>>(100, 0x55);
  m.pedal.expectedImage = image;
  return m;
}

void Add(Mix& m, const std::string& text) {
  std::string error;
  if (AddFaultRule(m, text, error)) return;
  fprintf(stderr, "bad rule %s: %s\n", text.c_str(), error.c_str());
  exit(2);
}

struct Tally {
  int right = 0, outOfStep = 0, falseCompletion = 0, other = 0;
  std::string otherText;
};

// benign: nothing is refused, so a completion is the right ending.
Tally Play(const std::function<Mix(uint64_t)>& make, int runs, const RunOptions& options,
           bool benign = false) {
  Tally t;
  const std::string right = FormatText(IDS_ERROR_ROM_WRITE, 23);
  for (int i = 0; i < runs; ++i) {
    const RunResult r = RunOne(make(static_cast<uint64_t>(i + 1)), options);
    if (benign && r.completed && r.errors.empty()) {
      ++t.right;
    } else if (r.completed) {
      ++t.falseCompletion;
    } else if (r.errors.size() == 1 && r.errors[0] == right) {
      ++t.right;
    } else if (r.errors.size() == 1 && r.errors[0] == LoadText(IDS_ANSWERS_OUT_OF_STEP)) {
      ++t.outOfStep;
    } else {
      ++t.other;
      t.otherText = r.errors.empty() ? "no box" : r.errors[0];
    }
  }
  return t;
}

void Row(const char* label, const Tally& t, int runs) {
  printf("  %-22s %3d/%-3d %11d %9d %6d  %s\n", label, t.right, runs, t.outOfStep,
         t.falseCompletion, t.other, t.otherText.c_str());
  fflush(stdout);
}

// The pedal paced at baud, the updater with its own times.
Mix Paced(uint64_t seed, uint32_t baud) {
  Mix m = Base(seed);
  m.timing = EngineTiming{};
  m.pedal.updaterReplyWaitMs = m.timing.replyWaitMs;
  m.pedal.baud = baud;
  return m;
}

// Answers late or lost in ways that are no fault of the updater, on a paced line with the real
// times: every run must complete, without the box for answers out of step.
void BenignAtBaud(uint32_t baud, int runs, const RunOptions& options) {
  printf(
      "\nE. Benign: nothing refused; right = completed without a box (\"completed\" counts\n"
      "   a completion with a box)\n");
  printf("                         right  out of step  completed  other\n");
  const int last = 3;  // the image has four blocks
  const std::vector<std::pair<const char*, std::function<std::vector<std::string>(uint64_t)>>>
      rows = {
          {"after its wait ran out",
           [](uint64_t) { return std::vector<std::string>{"RomWrite#1:1:late=5500"}; }},
          {"a lost answer",
           [](uint64_t) { return std::vector<std::string>{"RomWrite#1:1:silence"}; }},
          {"a stall < a reply wait",
           [](uint64_t) { return std::vector<std::string>{"RomWrite#1:1:late=3000"}; }},
          {"... on the last block",
           [&](uint64_t) {
             return std::vector<std::string>{"RomWrite#" + std::to_string(last) + ":1:late=3000"};
           }},
          {"all late 100-600 ms",
           [&](uint64_t seed) {
             std::mt19937 rng(static_cast<uint32_t>(seed * 7919));
             std::vector<std::string> rules;
             for (int b = 0; b <= last; ++b) {
               rules.push_back("RomWrite#" + std::to_string(b) +
                               ":1:late=" + std::to_string(100 + rng() % 501));
             }
             return rules;
           }},
      };
  for (const auto& [label, rules] : rows) {
    const Tally t = Play(
        [&](uint64_t s) {
          Mix m = Paced(s, baud);
          for (const std::string& rule : rules(s)) Add(m, rule);
          return m;
        },
        runs, options, true);
    Row(label, t, runs);
  }
}

// Row C on a paced line with the real times: block 1 answered twice, the second copy D after
// the first; block 2 refused for good.
int DuplicatesAtBaud(uint32_t baud, int runs, const RunOptions& options) {
  const double blockMs = (PackedSize(kWriteBlock) + kRomWriteOverhead) * 10000.0 / baud;
  printf(
      "Pedal paced at %u baud (a block takes %.0f ms on the line), the updater's own times; "
      "%d runs a row, %s.\n",
      baud, blockMs, runs, options.transport == Transport::Pty ? "pty" : "in-process");
  printf("The pedal refuses block 2 with 23 every time.\n\n");
  printf("C. Block 1 answered twice, unasked, the second copy D after the first\n");
  printf("                         right  out of step  completed  other\n");
  for (const double f : {0.0, 0.001, 0.01, 0.1, 0.5, 0.9, 1.1, 2.0}) {
    const uint32_t gap = static_cast<uint32_t>(f * blockMs);
    const Tally t = Play(
        [&](uint64_t s) {
          Mix m = Paced(s, baud);
          m.pedal.replyLatencyMs = gap;
          Add(m, "RomWrite#1:1:duplicate");
          Add(m, "RomWrite#2:all:status=23");
          return m;
        },
        runs, options);
    char label[64];
    snprintf(label, sizeof label, "D = %u ms", gap);
    Row(label, t, runs);
  }
  BenignAtBaud(baud, runs, options);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  uint32_t baud = 0;
  RunOptions options;
  options.transport = Transport::InProcess;
  options.loadFactor = 3;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "--pty")) {
      options.transport = Transport::Pty;
    } else if (!strcmp(argv[i], "--trace")) {
      options.trace = true;
    } else if (!strcmp(argv[i], "--baud") && i + 1 < argc) {
      baud = static_cast<uint32_t>(atoi(argv[++i]));
    } else {
      fprintf(stderr, "usage: bench_late_answers [--runs N] [--pty] [--trace] [--baud B]\n");
      return 2;
    }
  }
  if (baud != 0) return DuplicatesAtBaud(baud, runs, options);
  printf("Reply wait W = %u ms, resend pause 2 ms, pedal latency 1 ms; %d runs a row, %s.\n",
         kWaitMs, runs, options.transport == Transport::Pty ? "pty" : "in-process");
  printf("The pedal refuses block 2 with 23 every time; right = that refusal reported.\n\n");
  const char* head = "                         right  out of step  completed  other\n";

  // Rows of block 1 answered late by L (the rules given L in ms); block 2 refused for good.
  const auto lateRows = [&](const char* title, std::initializer_list<double> factors,
                            const std::function<std::vector<std::string>(int)>& rules) {
    printf("%s\n%s", title, head);
    for (const double f : factors) {
      const int late = static_cast<int>(f * kWaitMs);
      const Tally t = Play(
          [&](uint64_t s) {
            Mix m = Base(s);
            for (const std::string& rule : rules(late)) Add(m, rule);
            Add(m, "RomWrite#2:all:status=23");
            return m;
          },
          runs, options);
      char label[64];
      snprintf(label, sizeof label, "L = %.1f W (%d ms)", f, late);
      Row(label, t, runs);
    }
  };
  const auto ms = [](int late) { return std::to_string(late); };
  lateRows("A. Block 1's first answer late by L (the pedal stalls; the resend is answered after)",
           {0.5, 0.9, 1.1, 1.5, 2.0, 2.5, 3.0, 4.0, 5.5, 7.0},
           [&](int late) { return std::vector<std::string>{"RomWrite#1:1:late=" + ms(late)}; });
  lateRows("\nB. Every answer to block 1 late by L (a stall before each of them)",
           {0.5, 1.1, 1.5, 2.0, 3.0},
           [&](int late) { return std::vector<std::string>{"RomWrite#1:all:late=" + ms(late)}; });

  printf("\nC. Block 1 answered twice, unasked, the second copy D after the first\n%s", head);
  for (const uint32_t gap : {0u, 1u, 5u, 20u, 50u}) {
    const Tally t = Play(
        [&](uint64_t s) {
          Mix m = Base(s);
          m.pedal.replyLatencyMs = gap;  // the pedal's second copy follows after its latency
          Add(m, "RomWrite#1:1:duplicate");
          Add(m, "RomWrite#2:all:status=23");
          return m;
        },
        runs, options);
    char label[64];
    snprintf(label, sizeof label, "D = %u ms", gap);
    Row(label, t, runs);
  }

  lateRows(
      "\nD. Block 1's first copy lost, its resend answered late by L", {0.5, 1.1, 2.0},
      [&](int late) {
        return std::vector<std::string>{"RomWrite#1:1:silence", "RomWrite#1:2:late=" + ms(late)};
      });
  return 0;
}
