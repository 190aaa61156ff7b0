#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/pedal_config.h"

// What the pedal saw and where it ended: the proof that an update really happened.
namespace px::sim {

// Something a correct updater never does. message is the 1-based number of the received
// message (0: between messages).
struct Violation {
  uint64_t message = 0;
  WireKind kind = WireKind::Unknown;
  std::string what;
};

// A request the device did not carry out, with the status it answered.
struct Refusal {
  uint64_t message = 0;
  WireKind kind = WireKind::Unknown;
  int32_t status = 0;
  std::string why;
};

// A fault of the script that took effect.
struct FiredFault {
  uint64_t message = 0;
  WireKind kind = WireKind::Unknown;
  std::string what;
};

struct FileReport {
  std::string name;
  uint32_t size = 0;
  uint32_t crc32 = 0;  // the common CRC-32 (as zlib and most tools compute it)
  bool open = false;
  std::optional<bool> matchesExpected;
  std::vector<uint8_t> contents;
};

struct FlashReport {
  uint32_t crc32 = 0;         // common CRC-32 of the whole MiB
  uint32_t bytesWritten = 0;  // bytes stored by RomWrite since the last erase
  uint32_t bytesErased = 0;   // bytes erased and not written since
  uint32_t bytesOld = 0;      // bytes still holding the old firmware
  bool expectedImageGiven = false;
  uint32_t imageSize = 0;
  uint32_t imageCrc32 = 0;
  // The image from the start of the region, and every byte after it erased.
  bool matchesImage = false;
  int64_t firstMismatch = -1;  // offset of the first byte that differs, -1 when none
};

struct PedalReport {
  uint8_t family = 0;
  uint8_t member = 0;
  std::array<uint32_t, kMessageKindCount> messagesByKind = {};
  uint64_t messagesReceived = 0;
  std::vector<WireKind> sequence;  // kinds in the order received (at most 100,000)
  std::vector<Violation> violations;
  uint32_t suppressedViolations = 0;  // order slips that an injected fault may explain
  std::vector<Refusal> refusals;
  std::vector<FiredFault> faults;
  uint32_t damagedMessages = 0;  // messages or fragments spoilt by injected line faults
  uint32_t damagedAnswers = 0;   // the pedal's own outputs spoilt on their way to the updater
  uint32_t repeatedBlocks = 0;   // RomWrite blocks resent with the same bytes and acknowledged
  uint32_t blocksStored = 0;
  uint32_t unansweredDeviceRequests = 0;
  bool semaphoreHeld = false;
  bool audioMuted = false;
  bool updateMode = false;
  bool updateComplete = false;
  bool batteryLow = false;
  bool disconnected = false;
  uint64_t bytesReceived = 0;
  uint64_t bytesSent = 0;
  std::vector<FileReport> files;
  std::vector<std::string> missingFiles;  // expected but not on the device
  FlashReport flash;
  std::vector<uint8_t> flashContents;  // the whole MiB; left out of the JSON

  uint32_t Count(WireKind kind) const { return messagesByKind[static_cast<size_t>(kind)]; }
  const FileReport* File(const std::string& name) const;
  // UpdateComplete came, no violation, and every expectation given was met.
  bool Success() const;
};

std::string ReportToJson(const PedalReport& report);

// The common CRC-32 (the complement of the protocol's block CRC).
uint32_t Crc32(const uint8_t* data, size_t count);

}  // namespace px::sim
