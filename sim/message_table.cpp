#include "sim/message_table.h"

#include <iterator>

#include "protocol/codec.h"

namespace px::sim {
namespace {

using wire::Hex;
using wire::Num;

constexpr Steps kFileEnd = In(Step::Chunk) | In(Step::ShortChunk) | In(Step::ChunkDone) |
                           In(Step::LastDone) | In(Step::FileFailed);

// The message set as the pedal receives it. Bytes 0 and the last are F0 and F7; a device-specific
// message has 0x00 in byte 2 and the device id in byte 3. Where a field is read, its row says
// where it sits: RomWrite's address is bytes 5 to 9, FileOpen's name bytes 16 to 27, and so on.
// Each field of Enc::None is read by the device itself (names, the ResultRequest value, the Ack
// status).
// clang-format off
constexpr Row kRows[] = {
    // kind, byte 1, command, sub-command, length, payload at, fields, member 1 only, answer,
    // steps it may come after on member 1 and on the others, the same in words
    {WireKind::IdentityRequest, wire::kUniversal, wire::kIdentityAsk, -1, 6, 0, {}, false,
     Answers::Identity, kAnyStep, kAnyStep, "at any time"},
    {WireKind::IdentityReply, wire::kUniversal, wire::kIdentityTell, -1, 15, 0,
     {{{"manufacturer", 5, 1, Enc::Const, "\x52"}, {"family and member high bytes", 7, 3, Enc::Zeros},
       {"revision", 10, 4, Enc::Const, "1000"}}},
     false, Answers::Nothing, 0, 0, "only as the answer to the pedal's own IdentityRequest"},
    {WireKind::Ack, wire::kMaker, wire::kCmdAck, -1, 7, 0, {{{"status", 5, 1}}}, false,
     Answers::Nothing, 0, 0, "only as the answer to the pedal's own device command"},
    {WireKind::UpdateStart, wire::kMaker, 0x01, -1, 6, 0, {}, false, Answers::Ack,
     In(Step::Muted), In(Step::Identified),
     "after AudioMute on member 1, after IdentityRequest on the others"},
    {WireKind::RomWrite, wire::kMaker, 0x02, -1, 18, 12,
     {{{"length", 10, 2, Enc::Septet14}, {"address", 5, 5, Enc::Septet32}}}, false, Answers::Ack,
     In(Step::Erased) | In(Step::Writing), In(Step::Erased) | In(Step::Writing), "after RomErase"},
    {WireKind::UpdateComplete, wire::kMaker, 0x04, -1, 6, 0, {}, false, Answers::Ack,
     In(Step::Writing), In(Step::Writing), "after the last RomWrite block was acknowledged"},
    {WireKind::RomErase, wire::kMaker, 0x0A, -1, 16, 0,
     {{{"address", 5, 5, Enc::Septet32}, {"size", 10, 5, Enc::Septet32}}}, false, Answers::Ack,
     In(Step::Closed), In(Step::Started),
     "after FileClose on member 1, after UpdateStart on the others, and once"},
    {WireKind::ResultRequest, wire::kMaker, wire::kCmdFile, 0x05, 8, 0, {{{"value", 6, 1}}},
     true, Answers::Result, In(Step::Opened) | In(Step::Chunk) | In(Step::ShortChunk), 0,
     "after FileOpen or FileWrite was taken, to confirm it"},
    {WireKind::GetSemaphore, wire::kMaker, wire::kCmdFile, 0x06, 7, 0, {}, true, Answers::Ack,
     In(Step::Identified) | In(Step::Asking), 0, "after IdentityRequest, until it is granted"},
    {WireKind::FileOpen, wire::kMaker, wire::kCmdFile, 0x20, 29, 0,
     {{{"mode", 6, 5, Enc::Septet32}, {"zeros", 11, 5, Enc::Zeros}, {"name", 16, 12}}}, true,
     Answers::Value, In(Step::Deleted), 0, "after FileDelete"},
    {WireKind::FileClose, wire::kMaker, wire::kCmdFile, 0x21, 12, 0,
     {{{"handle", 6, 5, Enc::Septet32}}}, true, Answers::Value, kFileEnd, 0,
     "after the file's chunks, or after a chunk failed"},
    {WireKind::FileWrite, wire::kMaker, wire::kCmdFile, 0x23, 22, 16,
     {{{"length", 11, 5, Enc::Septet32}, {"handle", 6, 5, Enc::Septet32}}}, true, Answers::Value,
     In(Step::Open) | In(Step::ChunkDone), 0,
     "once FileOpen or the previous full chunk was confirmed by ResultRequest"},
    {WireKind::FileDelete, wire::kMaker, wire::kCmdFile, 0x24, 20, 0, {{{"name", 6, 13}}}, true,
     Answers::Value, In(Step::Started), 0, "after UpdateStart"},
    {WireKind::AudioMute, wire::kMaker, wire::kCmdAudio, 0x05, 7, 0, {}, true, Answers::Ack,
     In(Step::Granted), 0, "once GetSemaphore was granted"},
    {WireKind::Unknown, 0, 0, -1, 0, 0, {}, false, Answers::Ack, 0, 0, "never"},
};
// clang-format on
static_assert(std::size(kRows) == kMessageKindCount);

constexpr const char* kStepNames[kStepCount] = {
    "before any IdentityRequest",
    "after IdentityRequest",
    "after GetSemaphore was refused or unanswered",
    "after GetSemaphore was granted",
    "after AudioMute",
    "after UpdateStart",
    "after FileDelete",
    "after FileOpen",
    "after FileOpen was confirmed",
    "after a FileWrite",
    "after a short FileWrite",
    "after a full chunk was confirmed",
    "after the short last chunk was confirmed",
    "after a failed FileWrite",
    "after FileOpen failed",
    "after FileClose",
    "after an unanswered RomErase",
    "after RomErase",
    "during RomWrite",
    "after UpdateComplete",
};

constexpr uint8_t Bit(AnswerReading v) {
  return static_cast<uint8_t>(1u << static_cast<unsigned>(v));
}
constexpr uint8_t kOk = Bit(AnswerReading::Ok);
constexpr uint8_t kOkShort = Bit(AnswerReading::OkShort);
constexpr uint8_t kRefused = Bit(AnswerReading::Refused);
constexpr uint8_t kSilent = Bit(AnswerReading::Silent);
constexpr uint8_t kAnswered = kOk | kOkShort | kRefused;
constexpr uint8_t kAll = kAnswered | kSilent;

// The moves of a run: the first row that matches the kind, the step and the updater's reading of
// the answer decides; a request that no row moves leaves the run where it was.
struct MoveRow {
  WireKind kind;
  Steps from;
  uint8_t readings;
  Step to;
};
constexpr MoveRow kMoves[] = {
    {WireKind::IdentityRequest, kAnyStep, kOk, Step::Identified},
    {WireKind::IdentityRequest, kAnyStep, kRefused | kSilent, Step::Idle},
    {WireKind::GetSemaphore, kAnyStep, kOk, Step::Granted},
    {WireKind::GetSemaphore, kAnyStep, kRefused | kSilent, Step::Asking},
    {WireKind::AudioMute, kAnyStep, kOk, Step::Muted},
    {WireKind::UpdateStart, kAnyStep, kOk, Step::Started},
    {WireKind::FileDelete, kAnyStep, kOk, Step::Deleted},
    {WireKind::FileOpen, kAnyStep, kOk, Step::Opened},
    {WireKind::ResultRequest, In(Step::Opened), kOk, Step::Open},
    {WireKind::ResultRequest, In(Step::Opened), kRefused, Step::Ended},
    {WireKind::ResultRequest, In(Step::Chunk), kOk, Step::ChunkDone},
    {WireKind::ResultRequest, In(Step::ShortChunk), kOk, Step::LastDone},
    {WireKind::ResultRequest, In(Step::Chunk) | In(Step::ShortChunk), kRefused, Step::FileFailed},
    {WireKind::FileWrite, kAnyStep, kOk, Step::Chunk},
    {WireKind::FileWrite, kAnyStep, kOkShort, Step::ShortChunk},
    {WireKind::FileWrite, kAnyStep, kRefused | kSilent, Step::FileFailed},
    {WireKind::FileClose, In(Step::FileFailed), kAll, Step::FileFailed},
    {WireKind::FileClose, kAnyStep, kOk, Step::Closed},
    {WireKind::RomErase, kAnyStep, kOk, Step::Erased},
    {WireKind::RomErase, kAnyStep, kSilent, Step::EraseLost},
    {WireKind::RomWrite, kAnyStep, kAll, Step::Writing},
    {WireKind::UpdateComplete, kAnyStep, kAnswered, Step::Completed},
};

std::string FieldSlip(const Row& row, const Field& f, const uint8_t* m) {
  const std::string name = KindName(row.kind);
  const std::string where = "; its row has the " + std::string(f.name) + " in bytes " + Num(f.at) +
                            " to " + Num(f.at + f.width - 1);
  switch (f.enc) {
    case Enc::Septet32:
      if (!wire::SeptetOk(m + f.at))
        return name + " " + f.name + " field with bits above 31" + where;
      break;
    case Enc::Zeros:
    case Enc::Const:
      for (size_t i = 0; i < f.width; ++i) {
        const uint8_t want = f.enc == Enc::Zeros ? 0 : static_cast<uint8_t>(f.value[i]);
        if (m[f.at + i] != want) {
          return name + " byte " + Num(f.at + i) + " is " + Hex(m[f.at + i]) + ", not " +
                 Hex(want) + where;
        }
      }
      break;
    default:
      break;
  }
  return {};
}

std::string PayloadSlip(const Row& row, const uint8_t* m, size_t n) {
  const std::string name = KindName(row.kind);
  if (n < row.length) {
    return name + " of " + Num(static_cast<int64_t>(n)) + " bytes, shorter than its row's " +
           Num(row.length) + " bytes of fields";
  }
  for (const Field& f : row.fields) {
    if (f.name == nullptr) break;
    std::string slip = FieldSlip(row, f, m);
    if (!slip.empty()) return slip;
  }
  if (!LengthMatches(row, m, n)) return {};  // the device refuses it for its length
  const size_t packed = PackedSize(PayloadCount(row, m, n));
  const std::string where = "; its row packs the data from byte " + Num(row.payloadAt);
  if (!wire::PaddingOk(m + row.payloadAt, packed)) {
    return name + " payload with padding bits set" + where;
  }
  if (!wire::SeptetOk(m + row.payloadAt + packed)) {
    return name + " CRC field with bits above 31" + where + ", the CRC behind it";
  }
  return {};
}

}  // namespace

const char* KindName(WireKind kind) {
  static constexpr const char* kNames[kMessageKindCount] = {
      "IdentityRequest", "IdentityReply", "Ack",           "UpdateStart",  "RomWrite",
      "UpdateComplete",  "RomErase",      "ResultRequest", "GetSemaphore", "FileOpen",
      "FileClose",       "FileWrite",     "FileDelete",    "AudioMute",    "Unknown"};
  const size_t i = static_cast<size_t>(kind);
  return i < kMessageKindCount ? kNames[i] : "Unknown";
}

const char* StepName(Step step) {
  return kStepNames[static_cast<size_t>(step)];
}

const Row& RowOf(WireKind kind) {
  const size_t i = static_cast<size_t>(kind);
  return kRows[i < kMessageKindCount ? i : kMessageKindCount - 1];
}

const Field& FieldOf(WireKind kind, std::string_view name) {
  static const Field kNone{};
  for (const Field& f : RowOf(kind).fields) {
    if (f.name != nullptr && name == f.name) return f;
  }
  return kNone;
}

uint32_t ReadField(WireKind kind, std::string_view name, const uint8_t* m) {
  const Field& f = FieldOf(kind, name);
  switch (f.enc) {
    case Enc::Septet32:
      return wire::U32(m + f.at);
    case Enc::Septet14:
      return wire::U14(m + f.at);
    default:
      return f.width == 1 ? m[f.at] : 0;
  }
}

WireKind Classify(const uint8_t* m, size_t n) {
  if (n < 6) return WireKind::Unknown;
  if (m[1] == wire::kUniversal && m[3] != wire::kGeneralInfo) return WireKind::Unknown;
  for (const Row& row : kRows) {
    if (row.family == m[1] && row.command == m[wire::kCommandAt] &&
        (row.sub < 0 || row.sub == m[wire::kSubAt])) {
      return row.kind;
    }
  }
  return WireKind::Unknown;
}

uint32_t PayloadCount(const Row& row, const uint8_t* m, size_t n) {
  if (row.payloadAt == 0 || n < row.length) return 0;
  const Field& count = row.fields[0];
  return count.enc == Enc::Septet14 ? wire::U14(m + count.at) : wire::U32(m + count.at);
}

bool LengthMatches(const Row& row, const uint8_t* m, size_t n) {
  if (row.payloadAt == 0) return n == row.length;
  // The device takes file chunks of up to 64 KiB; a larger count cannot match any message.
  const uint32_t count = PayloadCount(row, m, n);
  return n >= row.length && count <= 65536 && n == PackedSize(count) + row.length;
}

std::string CheckLayout(const Row& row, const uint8_t* m, size_t n) {
  const std::string name = KindName(row.kind);
  if (row.kind == WireKind::Unknown) return {};
  if (row.payloadAt != 0) return PayloadSlip(row, m, n);
  if (n != row.length) {
    return name + " of " + Num(static_cast<int64_t>(n)) + " bytes; its row has " + Num(row.length);
  }
  if (row.kind == WireKind::Ack && m[5] > 1) {
    return "Ack with status " + Num(m[5]) + "; its row takes 0 (taken) or 1 (not known)";
  }
  for (const Field& f : row.fields) {
    if (f.name == nullptr) break;
    std::string slip = FieldSlip(row, f, m);
    if (!slip.empty()) return slip;
  }
  return {};
}

Step Move(WireKind kind, Step from, AnswerReading reading) {
  for (const MoveRow& move : kMoves) {
    if (move.kind == kind && (move.from & In(from)) && (move.readings & Bit(reading))) {
      return move.to;
    }
  }
  return from;
}

}  // namespace px::sim
