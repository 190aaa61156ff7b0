#include "protocol/vocabulary.h"

namespace px {

bool IsAcceptedDeviceId(uint8_t id) {
  for (uint8_t accepted : AcceptedDeviceIds) {
    if (accepted == id) return true;
  }
  return false;
}

const char* KindName(MessageKind kind) {
  switch (kind) {
    case MessageKind::IdentityRequest:
      return "IdentityRequest";
    case MessageKind::IdentityReply:
      return "IdentityReply";
    case MessageKind::Ack:
      return "Ack";
    case MessageKind::UpdateStart:
      return "UpdateStart";
    case MessageKind::RomWrite:
      return "RomWrite";
    case MessageKind::UpdateComplete:
      return "UpdateComplete";
    case MessageKind::RomErase:
      return "RomErase";
    case MessageKind::ResultRequest:
      return "ResultRequest";
    case MessageKind::GetSemaphore:
      return "GetSemaphore";
    case MessageKind::FileOpen:
      return "FileOpen";
    case MessageKind::FileClose:
      return "FileClose";
    case MessageKind::FileWrite:
      return "FileWrite";
    case MessageKind::FileDelete:
      return "FileDelete";
    case MessageKind::AudioMute:
      return "AudioMute";
    case MessageKind::ValueReply:
      return "ValueReply";
    case MessageKind::CodeReply:
      return "CodeReply";
    case MessageKind::ResultReply:
      return "ResultReply";
    case MessageKind::OtherSubReply:
      return "SubReply";
    case MessageKind::Done:
      return "Done";
    case MessageKind::Notice:
      return "Notice";
    case MessageKind::DeviceCommand:
      return "DeviceCommand";
    case MessageKind::OtherUniversal:
      return "Universal";
    case MessageKind::Foreign:
      return "Foreign";
  }
  return "Foreign";
}

size_t DataLength(const uint8_t* m, size_t length) {
  return length > 0 && m[length - 1] == kSysExEnd ? length - 1 : length;
}

namespace {

MessageKind ClassifyUniversal(const uint8_t* m, size_t avail) {
  if (avail <= field::kCommand || m[field::kInfoClass] != kGeneralInformation) {
    return MessageKind::Foreign;
  }
  if (m[field::kCommand] == kIdentityRequestCode) return MessageKind::IdentityRequest;
  if (m[field::kCommand] == kIdentityReplyCode) return MessageKind::IdentityReply;
  return MessageKind::OtherUniversal;
}

MessageKind ClassifyFromUpdater(const uint8_t* m, size_t avail) {
  switch (m[field::kCommand]) {
    case kCmdAck:
      return MessageKind::Ack;
    case kCmdUpdateStart:
      return MessageKind::UpdateStart;
    case kCmdRomWrite:
      return MessageKind::RomWrite;
    case kCmdUpdateComplete:
      return MessageKind::UpdateComplete;
    case kCmdRomErase:
      return MessageKind::RomErase;
    case kCmdFile:
      if (avail <= field::kSub) return MessageKind::Foreign;
      switch (m[field::kSub]) {
        case kSubResult:
          return MessageKind::ResultRequest;
        case kSubGetSemaphore:
          return MessageKind::GetSemaphore;
        case kSubFileOpen:
          return MessageKind::FileOpen;
        case kSubFileClose:
          return MessageKind::FileClose;
        case kSubFileWrite:
          return MessageKind::FileWrite;
        case kSubFileDelete:
          return MessageKind::FileDelete;
        default:
          return MessageKind::Foreign;
      }
    case kCmdAudio:
      return avail > field::kSub && m[field::kSub] == kSubAudioMute ? MessageKind::AudioMute
                                                                    : MessageKind::Foreign;
    default:
      return MessageKind::Foreign;
  }
}

MessageKind ClassifyFromDevice(const uint8_t* m, size_t avail) {
  switch (m[field::kCommand]) {
    case kCmdAck:
      return MessageKind::Ack;
    case kCmdDone:
      return MessageKind::Done;
    case kCmdNotice:
      return MessageKind::Notice;
    case kCmdFile:
      if (avail <= field::kSub) return MessageKind::Foreign;
      switch (m[field::kSub]) {
        case kSubValueReply:
          return MessageKind::ValueReply;
        case kSubCodeReply:
          return MessageKind::CodeReply;
        case kSubResult:
          return MessageKind::ResultReply;
        default:
          return MessageKind::OtherSubReply;
      }
    default:
      return MessageKind::DeviceCommand;
  }
}

}  // namespace

MessageKind ClassifyMessage(const uint8_t* m, size_t length, Sender sender, int deviceId) {
  if (length < 2 || m[0] != kSysExStart) return MessageKind::Foreign;
  const size_t avail = DataLength(m, length);
  if (m[field::kFamily] == kUniversalNonRealTime) return ClassifyUniversal(m, avail);
  if (m[field::kFamily] != kManufacturer || avail <= field::kCommand ||
      (deviceId != kAnyDevice && m[field::kDeviceId] != deviceId)) {
    return MessageKind::Foreign;
  }
  return sender == Sender::Device ? ClassifyFromDevice(m, avail) : ClassifyFromUpdater(m, avail);
}

}  // namespace px
