#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/pedal_config.h"
#include "sim/pedal_report.h"

// The device itself: its flash, its files and its modes, and what it answers to a request. It
// knows nothing of who is to blame; a refusal only says whether the updater caused it by
// composing the message wrongly.
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

// One answer of the device.
struct Reply {
  enum class Type { None, Ack, Value, Result, Code, Sub, Identity } type = Type::None;
  int32_t value = 0;
  int32_t extra = 0;
};

// Whether the updater takes this answer to a request of this kind for a success.
bool ReadsAsSuccess(WireKind kind, const Reply& reply);

// What the device made of one request.
struct Outcome {
  Reply reply;
  uint32_t busyMs = 0;  // erase or programming time
  bool refused = false;
  int32_t status = 0;  // of a refusal
  std::string why;     // of a refusal
  // What the updater did wrong to earn this, if anything.
  std::string blame;
};

class CDeviceCore {
 public:
  explicit CDeviceCore(const PedalConfig& config);

  // Carries out a request of the updater (not its answers to the pedal's own requests).
  // malformed: a field no correct encoder writes; refused as such where the kind checks it.
  // damaged: the line changed the message on its way (which the device itself cannot know).
  Outcome Execute(WireKind kind, const uint8_t* m, size_t n, bool malformed, bool damaged);
  // The kind of answer a request of this kind gets, with this value.
  Reply Natural(WireKind kind, int32_t value) const;
  std::vector<uint8_t> Compose(const Reply& reply) const;

  bool UpdateStartSeen() const { return updateStartSeen_; }
  bool UpdateComplete() const { return updateComplete_; }
  // Flash, files, modes and what was expected of them.
  void FillReport(PedalReport& r) const;

 private:
  // WrittenOnDamage: written by a block that the line had changed, such as one whose address
  // field took a flipped bit (the block's check covers its data only).
  enum class Cell : uint8_t { Old, Erased, Written, WrittenOnDamage };
  // Either way the block's data is what it carried: its check held.
  static bool IsWritten(Cell c) { return c == Cell::Written || c == Cell::WrittenOnDamage; }

  Outcome RomWrite(const uint8_t* m, size_t n, bool malformed, bool damaged);
  Outcome RomErase(const uint8_t* m, bool malformed);
  Outcome FileWrite(const uint8_t* m, size_t n, bool malformed);
  Outcome FileStep(WireKind kind, const uint8_t* m, bool malformed);
  Outcome ResultRequest(const uint8_t* m, size_t n, bool malformed);
  bool Variant1() const { return config_.member == 1; }

  const PedalConfig& config_;
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
  bool updateStartSeen_ = false;
  bool batteryLow_ = false;
  uint32_t semaphoreRefused_ = 0;
  uint32_t blocksStored_ = 0;
  uint32_t repeatedBlocks_ = 0;
};

}  // namespace px::sim
