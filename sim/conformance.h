#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/framer.h"
#include "sim/message_table.h"
#include "sim/pedal_config.h"
#include "sim/report_log.h"

// What a correct updater does, checked from the pedal's side of the line against the message
// table: how each message is laid out, where it may come in the run (as the updater sees the run
// from the pedal's answers), and its answers to the pedal's own requests. A slip is blamed on the
// updater unless an injected fault may have misled it: a damaged message, a late or second
// answer, a resend after a wait.
namespace px::sim {

// When a message came, in ms since the pedal started.
struct Arrival {
  uint64_t startMs = 0;  // its first byte arrived
  uint64_t nowMs = 0;    // it is read, whole
  bool damaged = false;
  // When the pedal's last answer had wholly left it (the moment it was written to the line, or
  // now when it has not yet); empty when nobody measured, and the planned moment counts.
  std::optional<uint64_t> lastAnswerLeftMs;
};

// The slack a resend is judged with, for a reply wait: scheduling on a loaded machine, the
// updater's pause before a resend, and the line in between.
uint64_t ResendSlackMs(uint64_t replyWaitMs);

class CConformanceChecker {
 public:
  CConformanceChecker(const PedalConfig& config, CReportLog& log);

  // Before anything else about a message or fragment: whether the line altered it.
  void OnArrival(bool damaged);
  // A whole request or answer of the updater: its address, its layout and its place in the run.
  // Returns false when it is not for this pedal (nothing more is done with it); malformed tells
  // whether a field is one that no correct encoder writes.
  bool Inspect(WireKind kind, const uint8_t* m, size_t n, const Arrival& arrival,
               bool updateStartSeen, bool& malformed);
  // An Ack or IdentityReply: the answer owed first must be this one.
  void TakeAnswer(WireKind kind, const uint8_t* m, size_t n, bool updateStartSeen);
  // The device's answer is known: the run moves on as the updater will read it. answerAtMs: when
  // the answer is planned to leave.
  void Advance(WireKind kind, const uint8_t* m, size_t n, bool ok, bool answered,
               uint64_t answerAtMs);
  // The pedal sent a request of its own at atMs; the updater owes this answer.
  void Expect(WireKind kind, uint8_t status, uint64_t atMs);
  // Something the device found the updater did wrong.
  void Blame(WireKind kind, std::string what) { Violate(kind, std::move(what)); }
  // An injected fault may have misled the updater from here on in this run.
  void Excuse() { relaxed_ = true; }

  void OnFramingEvent(CPedalFramer::Heard event, bool damaged);
  void OnOutboundDamage();
  // The updater closed the line: answers it still owed are overdue (see Overdue).
  void OnLineReset(uint64_t nowMs, bool disconnected);

  bool UpdaterKnowsId() const { return updaterKnowsId_; }
  // Answers the updater still owes for longer than it takes; as violations when the line was
  // clean, since only then is the updater to blame.
  std::vector<Violation> Overdue(uint64_t nowMs, bool disconnected, uint32_t& count) const;

 private:
  bool CheckAddress(WireKind kind, const uint8_t* m, size_t n, bool updateStartSeen);
  void NoteRequest(const uint8_t* m, size_t n, const Arrival& arrival);
  void CheckSettle(WireKind kind, uint64_t nowMs);
  void CheckOrder(WireKind kind, const uint8_t* m, size_t n);
  std::string CheckFlashOrder(WireKind kind, const uint8_t* m, size_t n) const;
  void Violate(WireKind kind, std::string what, bool order = false);
  Steps AllowedFrom(const Row& row) const {
    return config_.member == 1 ? row.fromMember1 : row.fromOthers;
  }

  const PedalConfig& config_;
  CReportLog& log_;

  // Where the run stands, as the updater sees it from our answers, and its flash blocks.
  Step step_ = Step::Idle;
  std::optional<uint32_t> lastBlock_;
  uint32_t lastBlockLength_ = 0;
  bool lastBlockOk_ = false;
  std::optional<uint64_t> settleFrom_;
  // The updater has shown that it addresses us by our id (it starts out with 0x5E).
  bool updaterKnowsId_;

  // Excuses.
  bool relaxed_ = false;     // an injected fault may have misled the updater in this run
  bool curDamaged_ = false;  // the message at hand was altered on the line
  bool lineDamaged_ = false;
  bool strayRun_ = false;
  bool outboundDamage_ = false;
  // The last request, when it began to arrive and when its answer was planned to leave (empty:
  // it got none); whether the message at hand repeats it after a wait that ran out.
  std::vector<uint8_t> lastRequest_;
  uint64_t lastRequestStart_ = 0;
  std::optional<uint64_t> lastAnswerPlanned_;
  bool repeated_ = false;
  bool resentAfterWait_ = false;
  std::string resendNote_;  // how the repeat stood against the wait, for the report

  struct Pending {
    WireKind kind;
    uint8_t status;
    uint64_t atMs;
  };
  std::deque<Pending> pending_;  // answers owed by the updater to the pedal's own requests
};

}  // namespace px::sim
