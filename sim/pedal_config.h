#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/wire.h"

// What the virtual pedal is told before it starts: who it is, how it behaves, how fast it is and
// which faults it plays.
namespace px::sim {

// The flash of the device: one MiB from 0x000A0000, erased in 4 KiB sectors.
inline constexpr uint32_t kFlashBase = 0x000A0000;
inline constexpr uint32_t kFlashSize = 0x00100000;
inline constexpr uint32_t kFlashSector = 0x1000;
inline constexpr uint32_t kForever = 0xFFFFFFFFu;

// Which occurrences of a message a rule applies to, counted from 1.
struct Occurrences {
  uint32_t first = 1;
  uint32_t last = kForever;

  static Occurrences Always() { return {1, kForever}; }
  static Occurrences FirstN(uint32_t n) { return {1, n}; }
  static Occurrences Nth(uint32_t n) { return {n, n}; }
  static Occurrences Range(uint32_t from, uint32_t to) { return {from, to}; }
  static Occurrences From(uint32_t n) { return {n, kForever}; }
  bool Contains(uint32_t n) const { return n >= first && n <= last; }
};

enum class FaultAction : uint8_t {
  // Not carried out, no answer: as if the request was lost on the line.
  Silence,
  // Not carried out; answered with value as the status in the message's usual answer (Ack,
  // ValueReply or ResultReply). Status 0 makes a device that claims what it did not do.
  Status,
  // Not carried out; answered with the given reply, whatever the message usually gets.
  Ack,          // value: status byte
  ValueReply,   // value: signed value
  ResultReply,  // value: status byte
  CodeReply,    // value: code; for code 34, extra is the signed value (error field 0)
  SubReply,     // value: a sub-command of the 0x60 reply that the updater does not know
  // Carried out; the answer leaves value ms later than usual (the device stalls meanwhile).
  Late,
  // Carried out; the answer is sent twice.
  Duplicate,
  // The line goes down when this message arrives.
  Disconnect,
  // Carried out; before the answer the pedal sends its own IdentityRequest, an unknown device
  // command, or a few stray bytes.
  AskIdentity,
  UnknownCommand,
  StrayBytes,
};

const char* ActionName(FaultAction action);

// One rule of a fault script. The first rule that matches a received message decides; a message
// that no rule matches gets the device's own behaviour.
struct FaultRule {
  std::optional<WireKind> kind;  // empty: any message
  // RomWrite only: the block-th distinct block address received (0-based), or one address.
  int32_t block = -1;
  std::optional<uint32_t> address;
  Occurrences when;
  FaultAction action = FaultAction::Silence;
  int32_t value = 0;
  int32_t extra = 0;
};

// "KIND[#BLOCK|@ADDRESS]:OCCURRENCES:ACTION[=VALUE[,EXTRA]]", for example
// "GetSemaphore:1-99:status=2", "RomWrite#3:1-5:silence", "*:all:silence",
// "RomWrite@0xA9000:1:late=6000", "FileDelete:all:value=255". OCCURRENCES is all, N, N-M or N-.
bool ParseFaultRule(std::string_view text, FaultRule& rule, std::string& error);
std::string FormatFaultRule(const FaultRule& rule);

// Faults of the line itself, drawn from the seed. Rates are per byte (per answer for the stray
// bytes and unknown commands).
struct LineFaults {
  double dropToPedal = 0;  // updater to pedal
  double flipToPedal = 0;
  double dropToHost = 0;  // pedal to updater
  double flipToHost = 0;
  double realTimeRate = 0;            // 0xF8 or 0xFE inserted before a byte the pedal sends
  double strayRate = 0;               // stray bytes before an answer
  double unknownCommandRate = 0;      // an unknown device command before an answer
  int64_t disconnectAfterBytes = -1;  // the line goes down after this many received bytes
  int32_t askIdentityAtBlock = -1;  // own IdentityRequest before answering this RomWrite (0-based)
};

struct PedalConfig {
  // Identity: family code (byte 6, also the device id of every device-specific message) and
  // member code (byte 8, the variant: 1 has the semaphore, the audio mute and the module file).
  uint8_t family = 0x5E;
  uint8_t member = 1;
  std::array<uint8_t, 4> revision = {'1', '3', '0', '0'};

  // State.
  bool updateModeReady = true;         // false: UpdateStart is answered 11
  bool batteryLow = false;             // from the start
  int32_t batteryLowAfterBlock = -1;   // low once this many RomWrite blocks were stored
  uint32_t semaphoreRefusals = 0;      // the first N GetSemaphore are refused ...
  uint8_t semaphoreRefusalStatus = 2;  // ... with this status
  // Files the device holds when it starts. By default an older module file.
  std::map<std::string, std::vector<uint8_t>> initialFiles = DefaultFiles();
  uint32_t fileSystemBytes = 256 * 1024;

  // Timing, in ms.
  uint32_t replyLatencyMs = 2;
  uint32_t eraseTimeMs = 5000;  // for the whole MiB; a smaller erase takes its share
  uint32_t writeTimeMs = 0;     // programming one RomWrite block
  uint32_t baud = 0;            // 0: no pacing; otherwise 10 bits a byte both ways
  uint32_t clockMs = 0;         // not 0: a timing clock byte to the updater every clockMs
  // When not 0: the next request must come at least this long after UpdateStart was answered.
  uint32_t settleAfterUpdateStartMs = 0;
  // When not 0, the updater's reply wait. A request repeated with the same bytes that begins at
  // least this wait less a slack (the larger of an eighth of the wait and 1 s) after its last copy
  // began, and no later than the slack after our answer to that copy left, is a resend after a
  // wait that timed out (the answer may have been slow to reach the updater), not its slip.
  uint32_t updaterReplyWaitMs = 0;

  // Faults.
  uint64_t seed = 1;
  std::vector<FaultRule> rules;
  LineFaults line;

  // Checks for the report.
  std::optional<std::vector<uint8_t>> expectedImage;
  std::map<std::string, std::vector<uint8_t>> expectedFiles;

  // Every message in and out, decoded; called on the pedal's own thread.
  std::function<void(const std::string&)> trace;

  static std::map<std::string, std::vector<uint8_t>> DefaultFiles();
};

// The "old firmware" that the flash holds before any erase, and the old module file.
uint8_t OldFirmwareByte(uint32_t offset);

}  // namespace px::sim
