#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>

#include "sim/device_core.h"
#include "sim/pedal_config.h"

// The faults the pedal plays: the scripted rules that take a message (by kind, occurrence or
// flash block), and the extra output a rule or the line's rates put before an answer (the
// pedal's own requests, stray bytes). Every draw comes from the seed.
namespace px::sim {

// An answer the updater owes for something the pedal sent.
struct OwedAnswer {
  WireKind kind;
  uint8_t status;
};

class CFaultRules {
 public:
  explicit CFaultRules(const PedalConfig& config);

  // Counts the sends of each flash block; the rule that takes this message, if any. received
  // and ofKind count the message at hand.
  const FaultRule* Match(WireKind kind, const uint8_t* m, size_t n, uint64_t received,
                         uint32_t ofKind);
  // Whether the rule's action answers in place of the device (or not at all).
  static bool ReplacesAnswer(FaultAction action);
  // The extras a rule puts before the device's own answer.
  static bool AddsOutput(FaultAction action);
  // The answer such a rule gives instead.
  static Reply Replacement(const FaultRule& rule, WireKind kind, const CDeviceCore& device);

  // The pedal's own IdentityRequest is due before the answer to this first send of a block.
  bool OwnIdentityRequestDue(WireKind kind, const uint8_t* m, size_t n);
  // A draw at this rate (per answer).
  bool Chance(double rate);
  // The output of an extra action; nothing when there is none to give now. updaterKnowsId: the
  // updater has shown it addresses the pedal by its id.
  std::optional<Output> Extra(FaultAction action, bool updaterKnowsId,
                              std::optional<OwedAnswer>& owed);
  void NoteIdentitySent() { identitySent_ = true; }

 private:
  const PedalConfig& config_;
  std::mt19937_64 rng_;
  bool identitySent_ = false;
  std::map<uint32_t, uint32_t> blockSends_;
  std::map<uint32_t, int32_t> blockIndex_;
};

}  // namespace px::sim
