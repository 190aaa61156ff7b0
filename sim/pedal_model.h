#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/framer.h"
#include "sim/pedal_config.h"
#include "sim/pedal_report.h"

// The pedal in firmware-update mode: what it answers, what it stores, and what it notices that a
// correct updater would never do. No threads and no clock of its own: the caller hands it whole
// messages with their arrival time and sends what it returns.
namespace px::sim {

// The statuses the pedal answers with.
namespace status {
// Ack statuses.
inline constexpr uint8_t kOk = 0;
inline constexpr uint8_t kUnknownCommand = 1;       // also what this device variant does not have
inline constexpr uint8_t kSemaphoreBatteryLow = 3;  // GetSemaphore on a low battery
inline constexpr uint8_t kNoSemaphore = 6;          // AudioMute, UpdateStart without the semaphore
inline constexpr uint8_t kNotInUpdateMode = 11;
inline constexpr uint8_t kBatteryLow = 12;
inline constexpr uint8_t kOutOfRange = 20;    // RomWrite, RomErase: outside the flash or sectors
inline constexpr uint8_t kBadLength = 21;     // RomWrite: length field and payload disagree, or 0
inline constexpr uint8_t kBadCrc = 22;        // RomWrite
inline constexpr uint8_t kNotErased = 23;     // RomWrite over bytes not erased
inline constexpr uint8_t kWrittenTwice = 24;  // RomWrite over bytes already written, other data
inline constexpr uint8_t kMalformed = 25;     // a field that no correct encoder writes
// ValueReply values of the file system.
inline constexpr int32_t kFileNotFound = -6;
inline constexpr int32_t kBadHandle = -9;
inline constexpr int32_t kFileNotInUpdateMode = -13;
inline constexpr int32_t kInvalid = -22;  // name, mode or length
inline constexpr int32_t kNoSpace = -28;
inline constexpr int32_t kFileMalformed = -71;
inline constexpr int32_t kFileBadCrc = -74;
// ResultReply: nothing to confirm (no file step yet).
inline constexpr uint8_t kNothingToConfirm = 1;
}  // namespace status

// What the pedal sends, and when.
struct Output {
  uint32_t delayMs = 0;  // wait before sending, counted from the previous output
  std::vector<uint8_t> bytes;
  bool disconnect = false;  // instead of bytes: the line goes down
};

class CPedalModel {
 public:
  explicit CPedalModel(const PedalConfig& config);

  // One delivered message (F0 ... F7). damaged: an injected line fault altered it on its way.
  void OnMessage(const uint8_t* m, size_t n, bool damaged, uint64_t nowMs,
                 std::vector<Output>& out);
  // Framing trouble that delivered no message.
  void OnFramingEvent(CSysExFramer::Event event, bool damaged);
  // The updater closed the line at nowMs.
  void OnLineReset(uint64_t nowMs);
  // The pedal's own bytes were damaged on their way out: the updater may be misled.
  void OnOutboundDamage();
  void OnDisconnected() { disconnected_ = true; }
  void SetExpectedImage(std::vector<uint8_t> image) { config_.expectedImage = std::move(image); }

  bool UpdateCompleteSeen() const { return updateComplete_; }
  PedalReport Report(uint64_t nowMs) const;

  // A one-line description of any message either side sends, for traces.
  static std::string Describe(const uint8_t* m, size_t n, bool fromPedal = false);

 private:
  struct Reply {
    enum class Type { None, Ack, Value, Result, Code, Identity } type = Type::None;
    int32_t value = 0;
    int32_t extra = 0;
  };
  struct Outcome {
    Reply reply;
    uint32_t busyMs = 0;  // erase or programming time
    std::string why;      // of a refusal
  };
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
  enum class Cell : uint8_t { Old, Erased, Written };

  MessageKind Classify(const uint8_t* m, size_t n) const;
  std::string CheckLayout(MessageKind kind, const uint8_t* m, size_t n) const;
  void CheckOrder(MessageKind kind, const uint8_t* m, size_t n, uint64_t nowMs);
  void AdvanceOrder(MessageKind kind, const uint8_t* m, size_t n, bool ok, uint64_t answerAtMs);
  const FaultRule* MatchRule(MessageKind kind, const uint8_t* m, size_t n);
  Outcome Execute(MessageKind kind, const uint8_t* m, size_t n, bool malformed);
  Outcome RomWrite(const uint8_t* m, size_t n, bool malformed);
  Outcome RomErase(const uint8_t* m, bool malformed);
  Outcome FileWrite(const uint8_t* m, size_t n, bool malformed);
  Outcome FileStep(MessageKind kind, const uint8_t* m, bool malformed);
  Reply Natural(MessageKind kind, int32_t value) const;
  bool ReadsAsSuccess(MessageKind kind, const Reply& reply) const;
  std::vector<uint8_t> Compose(const Reply& reply) const;
  void Extra(FaultAction action, uint64_t nowMs, std::vector<Output>& out);

  // Answers the updater still owes for longer than it takes; as violations when the line was
  // clean, since only then is the updater to blame.
  std::vector<Violation> Overdue(uint64_t nowMs, uint32_t& count) const;
  void Violate(MessageKind kind, std::string what, bool order = false);
  void Refuse(MessageKind kind, int32_t status, const std::string& why);
  void Fire(MessageKind kind, std::string what);
  bool Variant1() const { return config_.member == 1; }

  PedalConfig config_;
  std::mt19937_64 rng_;
  // The updater has shown that it addresses us by our id (it starts out with 0x5E).
  bool updaterKnowsId_;
  bool identitySent_ = false;

  // Device state.
  std::vector<uint8_t> flash_;
  std::vector<Cell> cells_;
  std::map<std::string, std::vector<uint8_t>> files_;
  std::optional<std::string> openFile_;
  std::optional<std::string> justClosed_;  // a resent FileClose finds it closed already
  std::optional<int32_t> lastFileStatus_;
  bool semaphore_ = false;
  bool muted_ = false;
  bool updateMode_ = false;
  bool updateComplete_ = false;
  bool batteryLow_ = false;
  bool disconnected_ = false;
  uint32_t semaphoreRefused_ = 0;
  uint32_t blocksStored_ = 0;
  uint32_t repeatedBlocks_ = 0;

  // Rule bookkeeping.
  uint64_t received_ = 0;
  std::array<uint32_t, kMessageKindCount> byKind_ = {};
  std::map<uint32_t, uint32_t> blockSends_;
  std::map<uint32_t, int32_t> blockIndex_;

  // Conformance: where the run stands, as the updater sees it from our answers.
  Stage stage_ = Stage::None;
  bool relaxed_ = false;         // an injected fault may have misled the updater in this run
  bool curDamaged_ = false;      // the message at hand was altered on the line
  bool answered_ = false;        // the message at hand gets an answer
  bool granted_ = false;         // the last GetSemaphore read as granted
  bool awaitingResult_ = false;  // a FileOpen or FileWrite read as success awaits its ResultRequest
  bool confirmed_ = false;       // ... and that ResultRequest read as success
  bool eraseUnanswered_ = false;
  bool fileFailed_ = false;
  bool shortChunk_ = false;
  std::optional<uint32_t> lastBlock_;
  uint32_t lastBlockLength_ = 0;
  bool lastBlockOk_ = false;
  bool updateStartSeen_ = false;
  std::optional<uint64_t> settleFrom_;
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

  // Report.
  std::vector<MessageKind> sequence_;
  std::vector<Violation> violations_;
  uint32_t suppressed_ = 0;
  std::vector<Refusal> refusals_;
  std::vector<FiredFault> faults_;
  uint32_t damaged_ = 0;
  uint32_t damagedAnswers_ = 0;
};

}  // namespace px::sim
