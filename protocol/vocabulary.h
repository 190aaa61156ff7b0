#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

// The words of the device protocol, once: framing bytes, commands and sub-commands, the statuses
// that the updater judges, the kinds of message with their names, and where each field sits.
namespace px {

// Framing and the two message families.
inline constexpr uint8_t kSysExStart = 0xF0;
inline constexpr uint8_t kSysExEnd = 0xF7;
inline constexpr uint8_t kTimingClock = 0xF8;
inline constexpr uint8_t kActiveSensing = 0xFE;
inline constexpr uint8_t kManufacturer = 0x52;
inline constexpr uint8_t kUniversalNonRealTime = 0x7E;
inline constexpr uint8_t kGeneralInformation = 0x06;
inline constexpr uint8_t kIdentityRequestCode = 0x01;
inline constexpr uint8_t kIdentityReplyCode = 0x02;

// Commands (byte 4 of a device-specific message).
inline constexpr uint8_t kCmdAck = 0x00;
inline constexpr uint8_t kCmdUpdateStart = 0x01;
inline constexpr uint8_t kCmdRomWrite = 0x02;
inline constexpr uint8_t kCmdDone = 0x02;    // from the device: a bare success answer
inline constexpr uint8_t kCmdNotice = 0x03;  // from the device: nothing to do
inline constexpr uint8_t kCmdUpdateComplete = 0x04;
inline constexpr uint8_t kCmdRomErase = 0x0A;
inline constexpr uint8_t kCmdFile = 0x60;
inline constexpr uint8_t kCmdAudio = 0x61;
// Sub-commands (byte 5) of kCmdFile, and of kCmdAudio for kSubAudioMute.
inline constexpr uint8_t kSubValueReply = 0x03;
inline constexpr uint8_t kSubCodeReply = 0x04;
inline constexpr uint8_t kSubResult = 0x05;
inline constexpr uint8_t kSubGetSemaphore = 0x06;
inline constexpr uint8_t kSubFileOpen = 0x20;
inline constexpr uint8_t kSubFileClose = 0x21;
inline constexpr uint8_t kSubFileWrite = 0x23;
inline constexpr uint8_t kSubFileDelete = 0x24;
inline constexpr uint8_t kSubAudioMute = 0x05;

// The updater's answers to commands that the device starts: these it takes, any other it does not
// know.
inline constexpr uint8_t kAckTaken = 0x00;
inline constexpr uint8_t kAckUnknown = 0x01;
inline constexpr std::array<uint8_t, 3> kTakenDeviceCommands = {0x01, 0x04, 0x05};

// CodeReply codes that report success, and the one that carries a signed value.
inline constexpr std::array<uint8_t, 6> kSuccessCodes = {2, 17, 32, 37, 38, 41};
inline constexpr uint8_t kValueCode = 34;

// Statuses that the updater judges: the device's own values.
enum DeviceStatus : int32_t {
  kStatusOk = 0,
  kStatusSemaphoreLowBattery = 3,  // a refused GetSemaphore: the battery is low
  kStatusNotInUpdateMode = 11,
  kStatusLowBattery = 12,
  kStatusNoSuchFile = -6,     // FileDelete of a file that is not there: as good as deleted
  kStatusNegativeValue = -1,  // a CodeReply 34 whose value is negative: a refusal
};

inline constexpr uint8_t kDefaultDeviceId = 0x5E;
inline constexpr std::array<uint8_t, 2> AcceptedDeviceIds = {0x5E, 0x5D};
bool IsAcceptedDeviceId(uint8_t id);

// Where the fields sit, counted from the 0xF0.
namespace field {
inline constexpr size_t kFamily = 1;     // kManufacturer or kUniversalNonRealTime
inline constexpr size_t kChannel = 2;    // 0x00 when sent, not examined when received
inline constexpr size_t kDeviceId = 3;   // device-specific messages
inline constexpr size_t kInfoClass = 3;  // universal messages: kGeneralInformation
inline constexpr size_t kCommand = 4;    // device-specific command, or identity request/reply
inline constexpr size_t kSub = 5;        // sub-command of kCmdFile and kCmdAudio
inline constexpr size_t kAckStatus = 5;
inline constexpr size_t kIdentityManufacturer = 5;
inline constexpr size_t kIdentityFamily = 6;     // becomes ReportedDeviceId
inline constexpr size_t kIdentityMember = 8;     // becomes DeviceVariant
inline constexpr size_t kIdentityRevision = 10;  // four ASCII digits
inline constexpr size_t kSubValue = 6;           // ValueReply's Septet32, FileOpen's mode, handles
inline constexpr size_t kSubStatus = 6;          // ResultReply's status, ResultRequest's value
inline constexpr size_t kCode = 6;               // CodeReply's code
inline constexpr size_t kCodeError = 7;          // code 34: Septet14 error value
inline constexpr size_t kCodeValue = 11;         // code 34: Septet32 signed value
inline constexpr size_t kAddress = 5;            // RomWrite and RomErase: Septet32 flash address
inline constexpr size_t kEraseSize = 10;         // RomErase: Septet32 size
inline constexpr size_t kRomWriteLength = 10;    // Septet14
inline constexpr size_t kRomWritePayload = 12;
inline constexpr size_t kFileOpenName = 16;
inline constexpr size_t kFileWriteLength = 11;  // Septet32
inline constexpr size_t kFileWritePayload = 16;
inline constexpr size_t kFileDeleteName = 6;
}  // namespace field

// Who sends a message: the same bytes mean different things each way (sub-command 0x05 is a
// ResultRequest from the updater and a ResultReply from the device; command 0x01 from the device
// is a device command, not an UpdateStart).
enum class Sender { Updater, Device };

enum class MessageKind : uint8_t {
  IdentityRequest,
  IdentityReply,
  Ack,
  UpdateStart,
  RomWrite,
  UpdateComplete,
  RomErase,
  ResultRequest,
  GetSemaphore,
  FileOpen,
  FileClose,
  FileWrite,
  FileDelete,
  AudioMute,
  // From the device only.
  ValueReply,
  CodeReply,
  ResultReply,
  OtherSubReply,   // kCmdFile with another sub-command: still an answer
  Done,            // kCmdDone: a bare success answer
  Notice,          // kCmdNotice: taken without a word
  DeviceCommand,   // anything else the device asks; the updater acknowledges it
  OtherUniversal,  // a general-information message that is neither request nor reply
  Foreign,         // another manufacturer, another device id, or too short to tell
};

const char* KindName(MessageKind kind);

// The four ASCII digits of an identity reply's software revision as one number, first digit in
// the top byte.
constexpr uint32_t ReadRevision(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// What a whole message is, read only as far as it reaches. deviceId is the id that the updater
// talks to; a device-specific message for another id is Foreign (kAnyDevice takes every id). A
// message too short for the bytes that name it is Foreign too.
inline constexpr int kAnyDevice = -1;
MessageKind ClassifyMessage(const uint8_t* m, size_t length, Sender sender,
                            int deviceId = kAnyDevice);
// The number of data bytes of a whole message: the closing 0xF7 is not data.
size_t DataLength(const uint8_t* m, size_t length);

// Kinds that answer a request: each is owed to a copy of a request and handed to it.
constexpr bool IsAnswer(MessageKind kind) {
  return kind == MessageKind::Ack || kind == MessageKind::IdentityReply ||
         kind == MessageKind::ValueReply || kind == MessageKind::CodeReply ||
         kind == MessageKind::ResultReply || kind == MessageKind::OtherSubReply ||
         kind == MessageKind::Done;
}

}  // namespace px
