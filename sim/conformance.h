#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/framer.h"
#include "sim/pedal_config.h"
#include "sim/report_log.h"

// What a correct updater does, checked from the pedal's side of the line: how each message is
// laid out, where it may come in the run (as the updater sees the run from the pedal's answers),
// and its answers to the pedal's own requests. A slip is blamed on the updater unless an injected
// fault may have misled it: a damaged message, a late or second answer, a resend after a wait.
namespace px::sim {

class CConformanceChecker {
 public:
  CConformanceChecker(const PedalConfig& config, CReportLog& log);

  // Before anything else about a message or fragment: whether the line altered it.
  void OnArrival(bool damaged);
  // A whole request or answer of the updater: its address, its layout and its place in the run.
  // Returns false when it is not for this pedal (nothing more is done with it); malformed tells
  // whether a field is one that no correct encoder writes.
  bool Inspect(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs, bool updateStartSeen,
               bool& malformed);
  // An Ack or IdentityReply: the answer owed first must be this one.
  void TakeAnswer(MessageKind kind, const uint8_t* m, size_t n, bool updateStartSeen);
  // The device's answer is known: the run moves on as the updater will read it.
  void Advance(MessageKind kind, const uint8_t* m, size_t n, bool ok, bool answered,
               uint64_t answerAtMs);
  // The pedal sent a request of its own at atMs; the updater owes this answer.
  void Expect(MessageKind kind, uint8_t status, uint64_t atMs);
  // Something the device found the updater did wrong.
  void Blame(MessageKind kind, std::string what) { Violate(kind, std::move(what)); }
  // An injected fault may have misled the updater from here on in this run.
  void Excuse() { relaxed_ = true; }

  void OnFramingEvent(CSysExFramer::Event event, bool damaged);
  void OnOutboundDamage();
  // The updater closed the line: answers it still owed are overdue (see Overdue).
  void OnLineReset(uint64_t nowMs, bool disconnected);

  bool UpdaterKnowsId() const { return updaterKnowsId_; }
  // Answers the updater still owes for longer than it takes; as violations when the line was
  // clean, since only then is the updater to blame.
  std::vector<Violation> Overdue(uint64_t nowMs, bool disconnected, uint32_t& count) const;

 private:
  enum class Stage {
    None,
    Identified,
    Semaphore,
    Muted,
    Started,
    FileDeleted,
    FileOpened,
    FileWritten,
    FileClosed,
    Erased,
    Writing,
    Completed,
  };

  bool CheckAddress(MessageKind kind, const uint8_t* m, size_t n, bool updateStartSeen);
  void NoteRequest(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs);
  std::string CheckLayout(MessageKind kind, const uint8_t* m, size_t n) const;
  void CheckOrder(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs);
  void Violate(MessageKind kind, std::string what, bool order = false);
  bool Variant1() const { return config_.member == 1; }

  const PedalConfig& config_;
  CReportLog& log_;

  // Where the run stands, as the updater sees it from our answers.
  Stage stage_ = Stage::None;
  bool granted_ = false;         // the last GetSemaphore read as granted
  bool awaitingResult_ = false;  // a FileOpen or FileWrite read as success awaits its ResultRequest
  bool confirmed_ = false;       // ... and that ResultRequest read as success
  bool eraseUnanswered_ = false;
  bool fileFailed_ = false;
  bool shortChunk_ = false;
  std::optional<uint32_t> lastBlock_;
  uint32_t lastBlockLength_ = 0;
  bool lastBlockOk_ = false;
  std::optional<uint64_t> settleFrom_;
  bool answered_ = false;  // the message at hand gets an answer
  // The updater has shown that it addresses us by our id (it starts out with 0x5E).
  bool updaterKnowsId_;

  // Excuses.
  bool relaxed_ = false;     // an injected fault may have misled the updater in this run
  bool curDamaged_ = false;  // the message at hand was altered on the line
  bool lineDamaged_ = false;
  bool strayRun_ = false;
  std::vector<uint8_t> lastRequest_;
  uint64_t lastRequestAt_ = 0;
  bool repeated_ = false;         // the message at hand repeats the last request
  bool resentAfterWait_ = false;  // ... and came a reply wait after it
  bool outboundDamage_ = false;

  struct Pending {
    MessageKind kind;
    uint8_t status;
    uint64_t atMs;
  };
  std::deque<Pending> pending_;  // answers owed by the updater to the pedal's own requests
};

}  // namespace px::sim
