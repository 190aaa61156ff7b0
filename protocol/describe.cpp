#include "protocol/describe.h"

#include <cstdio>
#include <string>

#include "protocol/codec.h"
#include "protocol/messages.h"

namespace px {
namespace {

std::string Format(const char* fmt, long long a = 0, long long b = 0, long long c = 0) {
  char buf[160];
  snprintf(buf, sizeof buf, fmt, a, b, c);
  return buf;
}

// Reads fields only as far as the message reaches; a field cut off reads as 0 (a byte as -1).
class Fields {
 public:
  Fields(const uint8_t* m, size_t avail) : m_(m), avail_(avail) {}
  bool Has(size_t at, size_t width = 1) const { return avail_ >= at + width; }
  long long Byte(size_t at) const { return Has(at) ? m_[at] : -1; }
  long long Unsigned32(size_t at) const {
    return Has(at, 5) ? static_cast<uint32_t>(DecodeSeptet32(m_ + at)) : 0;
  }
  long long Signed32(size_t at) const { return Has(at, 5) ? DecodeSeptet32(m_ + at) : 0; }
  uint32_t Septet14(size_t at) const { return Has(at, 2) ? ReadSeptet14(m_ + at) : 0; }
  std::string Name(size_t at, size_t width) const {
    std::string name;
    for (size_t i = at; i < at + width && i < avail_ && m_[i] != 0; ++i)
      name += static_cast<char>(m_[i]);
    return name;
  }

 private:
  const uint8_t* m_;
  size_t avail_;
};

// The decoded fields of a kind, each with a leading blank.
std::string FieldsOf(MessageKind kind, const Fields& f) {
  using namespace field;
  switch (kind) {
    case MessageKind::IdentityReply:
      return Format(" family=0x%02llX member=%lld", f.Byte(kIdentityFamily),
                    f.Byte(kIdentityMember));
    case MessageKind::Ack:
      return Format(" status=%lld", f.Byte(kAckStatus));
    case MessageKind::RomWrite: {
      const uint32_t n = f.Septet14(kRomWriteLength);
      return Format(" addr=0x%08llX len=%lld crc=0x%08llX", f.Unsigned32(kAddress), n,
                    f.Unsigned32(kRomWritePayload + PackedSize(n)));
    }
    case MessageKind::RomErase:
      return Format(" addr=0x%08llX size=%lld", f.Unsigned32(kAddress), f.Unsigned32(kEraseSize));
    case MessageKind::ResultRequest:
      return Format(" value=%lld", f.Byte(kSubStatus));
    case MessageKind::ResultReply:
      return Format(" status=%lld", f.Byte(kSubStatus));
    case MessageKind::ValueReply:
      return Format(" value=%lld", f.Signed32(kSubValue));
    case MessageKind::CodeReply:
      return Format(" code=%lld", f.Byte(kCode));
    case MessageKind::FileOpen:
      return Format(" mode=%lld name=", f.Unsigned32(kSubValue)) +
             f.Name(kFileOpenName, kFileOpenNameField);
    case MessageKind::FileClose:
      return Format(" handle=%lld", f.Unsigned32(kSubValue));
    case MessageKind::FileWrite: {
      const auto n = static_cast<uint32_t>(f.Unsigned32(kFileWriteLength));
      return Format(" handle=%lld len=%lld crc=0x%08llX", f.Unsigned32(kSubValue), n,
                    f.Unsigned32(kFileWritePayload + PackedSize(n)));
    }
    case MessageKind::FileDelete:
      return " name=" + f.Name(kFileDeleteName, kFileDeleteNameField);
    case MessageKind::OtherSubReply:
      return Format(" sub=0x%02llX", f.Byte(kSub));
    case MessageKind::DeviceCommand:
      return Format(" command=0x%02llX", f.Byte(kCommand));
    default:
      return {};
  }
}

}  // namespace

std::string DescribeMessage(const uint8_t* m, size_t length, Sender sender) {
  const MessageKind kind = ClassifyMessage(m, length, sender);
  if (kind == MessageKind::Foreign) return KindName(kind);
  const Fields f(m, DataLength(m, length));
  std::string text = KindName(kind) + FieldsOf(kind, f);
  if (m[field::kFamily] == kManufacturer) text += Format(" id=%02llX", m[field::kDeviceId]);
  return text;
}

std::string HexBytes(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 3);
  for (size_t i = 0; i < length; ++i) {
    if (i) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

}  // namespace px
