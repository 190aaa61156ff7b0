#include "sim/fault_rules.h"

#include "sim/message_table.h"
#include "sim/wire.h"

namespace px::sim {
namespace {

// Device commands the pedal may slip in, with the Ack the updater owes for each.
struct DeviceCommand {
  uint8_t command;
  uint8_t expected;
};
constexpr DeviceCommand kDeviceCommands[] = {{0x01, 0}, {0x04, 0}, {0x05, 0}, {0x06, 1}, {0x0B, 1},
                                             {0x10, 1}, {0x33, 1}, {0x61, 1}, {0x7F, 1}};

}  // namespace

CFaultRules::CFaultRules(const PedalConfig& config) : config_(config), rng_(config.seed) {}

const FaultRule* CFaultRules::Match(WireKind kind, const uint8_t* m, size_t n, uint64_t received,
                                    uint32_t ofKind) {
  // The updater's answers to the pedal's own requests get no answer to play with.
  if (kind == WireKind::Ack || kind == WireKind::IdentityReply) return nullptr;
  std::optional<uint32_t> block;
  if (kind == WireKind::RomWrite && n >= 12) {
    block = ReadField(WireKind::RomWrite, "address", m);
    ++blockSends_[*block];
    if (!blockIndex_.count(*block)) {
      blockIndex_[*block] = static_cast<int32_t>(blockIndex_.size());
    }
  }
  for (const FaultRule& rule : config_.rules) {
    if (rule.kind && *rule.kind != kind) continue;
    uint64_t occurrence = rule.kind ? ofKind : received;
    if (rule.block >= 0 || rule.address) {
      if (!block) continue;
      if (rule.address && *rule.address != *block) continue;
      if (rule.block >= 0 && blockIndex_[*block] != rule.block) continue;
      occurrence = blockSends_[*block];
    }
    if (occurrence <= kForever && rule.when.Contains(static_cast<uint32_t>(occurrence))) {
      return &rule;
    }
  }
  return nullptr;
}

bool CFaultRules::ReplacesAnswer(FaultAction action) {
  return action != FaultAction::Late && action != FaultAction::Duplicate && !AddsOutput(action);
}

bool CFaultRules::AddsOutput(FaultAction action) {
  return action == FaultAction::AskIdentity || action == FaultAction::UnknownCommand ||
         action == FaultAction::StrayBytes;
}

Reply CFaultRules::Replacement(const FaultRule& rule, WireKind kind, const CDeviceCore& device) {
  switch (rule.action) {
    case FaultAction::Status:
      return kind == WireKind::IdentityRequest || kind == WireKind::Unknown
                 ? Reply{Reply::Type::Ack, rule.value, 0}
                 : device.Natural(kind, rule.value);
    case FaultAction::Ack:
      return {Reply::Type::Ack, rule.value, 0};
    case FaultAction::ValueReply:
      return {Reply::Type::Value, rule.value, 0};
    case FaultAction::ResultReply:
      return {Reply::Type::Result, rule.value, 0};
    case FaultAction::CodeReply:
      return {Reply::Type::Code, rule.value, rule.extra};
    case FaultAction::SubReply:
      return {Reply::Type::Sub, rule.value, 0};
    default:
      return {};  // Silence
  }
}

bool CFaultRules::OwnIdentityRequestDue(WireKind kind, const uint8_t* m, size_t n) {
  if (kind != WireKind::RomWrite || config_.line.askIdentityAtBlock < 0 || n < 12) return false;
  const uint32_t block = ReadField(WireKind::RomWrite, "address", m);
  return blockIndex_[block] == config_.line.askIdentityAtBlock && blockSends_[block] == 1;
}

bool CFaultRules::Chance(double rate) {
  if (rate <= 0) return false;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  return chance(rng_) < rate;
}

std::optional<Output> CFaultRules::Extra(FaultAction action, bool updaterKnowsId,
                                         std::optional<OwedAnswer>& owed) {
  Output o;
  switch (action) {
    case FaultAction::AskIdentity:
      o.bytes = wire::IdentityAsk();
      owed = OwedAnswer{WireKind::IdentityReply, 0};
      break;
    case FaultAction::UnknownCommand: {
      // Between our identity reply and its next request, whether the updater already goes by our
      // id (and answers) is a matter of thread timing: say nothing then.
      if (!updaterKnowsId && identitySent_) return std::nullopt;
      const DeviceCommand& c =
          kDeviceCommands[rng_() % (sizeof kDeviceCommands / sizeof kDeviceCommands[0])];
      o.bytes = wire::DeviceCommand(config_.family, c.command);
      // An updater that does not know our id yet rightly ignores the command.
      if (updaterKnowsId) owed = OwedAnswer{WireKind::Ack, c.expected};
      break;
    }
    case FaultAction::StrayBytes:
      // Nothing here may read as a reply: data bytes and F7 outside a message, a note, another
      // maker's message, a cut message, a message for another device id.
      switch (rng_() % 5) {
        case 0:
          for (int i = 0, k = 1 + static_cast<int>(rng_() % 6); i < k; ++i) {
            o.bytes.push_back(static_cast<uint8_t>(rng_() & 0x7F));
          }
          o.bytes.push_back(wire::kEnd);
          break;
        case 1:
          o.bytes = {0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00};
          break;
        case 2:
          o.bytes = {wire::kStart, 0x41, 0x10, 0x42, 0x12,      0x40,
                     0x00,         0x7F, 0x00, 0x41, wire::kEnd};
          break;
        case 3:
          o.bytes = {wire::kStart, wire::kMaker, 0x00, config_.family, 0x00};
          break;
        default:
          o.bytes = {wire::kStart, wire::kMaker, 0x00, 0x10, 0x00, 0x00, wire::kEnd};
          break;
      }
      break;
    default:
      return std::nullopt;
  }
  return o;
}

}  // namespace px::sim
