#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/wire.h"

// The pedal's rules as data: one row per kind of message it receives, giving how the message is
// laid out, where in a run it may come, and what the device answers; and the moves that each
// answer makes in the run as the updater reads it.
namespace px::sim {

// Where a run stands as the updater sees it from the pedal's answers.
enum class Step : uint8_t {
  Idle,
  Identified,
  Asking,  // GetSemaphore refused or unanswered: asked again
  Granted,
  Muted,
  Started,
  Deleted,
  Opened,      // FileOpen taken; its ResultRequest due
  Open,        // ... and confirmed
  Chunk,       // a full FileWrite taken; its ResultRequest due
  ShortChunk,  // a short, so last, FileWrite taken; its ResultRequest due
  ChunkDone,   // a full chunk confirmed
  LastDone,    // the short chunk confirmed
  FileFailed,  // a chunk failed: the updater closes the file and ends the run
  Ended,       // the file did not open: the run is over
  Closed,
  EraseLost,  // RomErase unanswered: the updater never sends it again
  Erased,
  Writing,
  Completed,
};
inline constexpr size_t kStepCount = static_cast<size_t>(Step::Completed) + 1;
using Steps = uint32_t;  // a set of steps, one bit each
constexpr Steps In(Step s) {
  return Steps{1} << static_cast<unsigned>(s);
}
inline constexpr Steps kAnyStep = (Steps{1} << kStepCount) - 1;
const char* StepName(Step step);

// How the updater read the device's answer to a request.
enum class AnswerReading : uint8_t { Ok, OkShort, Refused, Silent };

// How a field is encoded.
enum class Enc : uint8_t { None, Septet32, Septet14, Zeros, Const };
struct Field {
  const char* name = nullptr;
  uint8_t at = 0;
  uint8_t width = 0;
  Enc enc = Enc::None;
  const char* value = nullptr;  // Const: the bytes the field holds
};

// The answer the device gives a kind of request when nothing goes wrong.
enum class Answers : uint8_t { Nothing, Ack, Value, Result, Identity };

struct Row {
  WireKind kind;
  uint8_t family;   // byte 1
  uint8_t command;  // byte 4 (after the 0x06 of an identity message)
  int16_t sub;      // byte 5, or -1
  // The whole length; with a payload, the length of everything but the packed bytes.
  uint16_t length;
  // A packed payload starts here, behind the field that counts its raw bytes (fields[0]), and a
  // CRC field follows it. 0: none.
  uint8_t payloadAt;
  std::array<Field, 3> fields;
  bool member1Only;
  Answers answer;
  // Where in a run it may come, for member 1 and for the other members, and the same in words.
  Steps fromMember1;
  Steps fromOthers;
  const char* when;
  bool isRequest() const {
    return kind != WireKind::Ack && kind != WireKind::IdentityReply && kind != WireKind::Unknown;
  }
};

const Row& RowOf(WireKind kind);
// A field of a kind's row by its name, and its value as its encoding gives it (a byte for a
// field of Enc::None). The message must be long enough for the row.
const Field& FieldOf(WireKind kind, std::string_view name);
uint32_t ReadField(WireKind kind, std::string_view name, const uint8_t* m);
// What the pedal takes a whole message (F0 ... F7) for, from its family, command and sub-command.
WireKind Classify(const uint8_t* m, size_t n);
// The raw byte count of a payload kind, from its count field; 0 for other kinds or too short.
uint32_t PayloadCount(const Row& row, const uint8_t* m, size_t n);
// Whether n is the length that the count field asks for.
bool LengthMatches(const Row& row, const uint8_t* m, size_t n);
// What a correct composer would have done differently, naming the row; "" when nothing.
std::string CheckLayout(const Row& row, const uint8_t* m, size_t n);
// The step a run moves to when the updater reads the answer to a request of this kind so; the
// step it was at when the answer moves nothing.
Step Move(WireKind kind, Step from, AnswerReading reading);

}  // namespace px::sim
