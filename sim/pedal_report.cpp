#include "sim/pedal_report.h"

#include <cstdio>

#include "protocol/codec.h"

namespace px::sim {
namespace {

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Hex32(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "\"0x%08X\"", v);
  return buf;
}

const char* Bool(bool b) {
  return b ? "true" : "false";
}

// Writes "name": value pairs with commas and indentation.
class CJson {
 public:
  void Open(const std::string& key, char bracket) {
    Key(key);
    out_ += bracket;
    first_ = true;
    ++depth_;
  }
  void Close(char bracket) {
    --depth_;
    if (!first_) Newline();
    out_ += bracket;
    first_ = false;
  }
  void Field(const std::string& key, const std::string& raw) {
    Key(key);
    out_ += raw;
  }
  std::string Take() { return std::move(out_) + "\n"; }

 private:
  void Key(const std::string& key) {
    if (!first_) out_ += ',';
    if (depth_ > 0) Newline();
    first_ = false;
    if (!key.empty()) out_ += Quote(key) + ": ";
  }
  void Newline() {
    out_ += '\n';
    out_.append(static_cast<size_t>(depth_) * 2, ' ');
  }
  std::string out_;
  bool first_ = true;
  int depth_ = 0;
};

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t count) {
  return ~BlockCrc32(data, count);
}

const FileReport* PedalReport::File(const std::string& name) const {
  for (const FileReport& f : files) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

bool PedalReport::Success() const {
  if (!updateComplete || !violations.empty() || !missingFiles.empty()) return false;
  if (flash.expectedImageGiven && !flash.matchesImage) return false;
  for (const FileReport& f : files) {
    if (f.matchesExpected && !*f.matchesExpected) return false;
  }
  return true;
}

namespace {

void FlashToJson(CJson& j, const PedalReport& r) {
  j.Open("flash", '{');
  j.Field("address", Hex32(kFlashBase));
  j.Field("size", std::to_string(kFlashSize));
  j.Field("crc32", Hex32(r.flash.crc32));
  j.Field("bytesWritten", std::to_string(r.flash.bytesWritten));
  j.Field("bytesErased", std::to_string(r.flash.bytesErased));
  j.Field("bytesOld", std::to_string(r.flash.bytesOld));
  j.Field("blocksStored", std::to_string(r.blocksStored));
  j.Field("repeatedBlocks", std::to_string(r.repeatedBlocks));
  if (r.flash.expectedImageGiven) {
    j.Open("expectedImage", '{');
    j.Field("size", std::to_string(r.flash.imageSize));
    j.Field("crc32", Hex32(r.flash.imageCrc32));
    j.Field("matches", Bool(r.flash.matchesImage));
    j.Field("firstMismatch", std::to_string(r.flash.firstMismatch));
    j.Close('}');
  } else {
    j.Field("expectedImage", "null");
  }
  j.Close('}');
}

void FilesToJson(CJson& j, const PedalReport& r) {
  j.Open("files", '[');
  for (const FileReport& f : r.files) {
    j.Open("", '{');
    j.Field("name", Quote(f.name));
    j.Field("size", std::to_string(f.size));
    j.Field("crc32", Hex32(f.crc32));
    j.Field("open", Bool(f.open));
    j.Field("matchesExpected", f.matchesExpected ? Bool(*f.matchesExpected) : "null");
    j.Close('}');
  }
  j.Close(']');
  j.Open("missingFiles", '[');
  for (const std::string& name : r.missingFiles) j.Field("", Quote(name));
  j.Close(']');
}

void MessagesToJson(CJson& j, const PedalReport& r) {
  j.Open("messages", '{');
  j.Field("total", std::to_string(r.messagesReceived));
  for (size_t i = 0; i < kMessageKindCount; ++i) {
    if (r.messagesByKind[i] != 0) {
      j.Field(KindName(static_cast<MessageKind>(i)), std::to_string(r.messagesByKind[i]));
    }
  }
  j.Close('}');
  std::string sequence = "[";
  for (size_t i = 0; i < r.sequence.size(); ++i) {
    if (i) sequence += ", ";
    sequence += Quote(KindName(r.sequence[i]));
  }
  j.Field("sequence", sequence + "]");
}

// A list of {"message": n, "kind": k, ...} entries; more() adds the rest of each.
template <typename T, typename More>
void ListToJson(CJson& j, const char* name, const std::vector<T>& list, More more) {
  j.Open(name, '[');
  for (const T& e : list) {
    j.Field("", "{\"message\": " + std::to_string(e.message) +
                    ", \"kind\": " + Quote(KindName(e.kind)) + more(e) + "}");
  }
  j.Close(']');
}

void FindingsToJson(CJson& j, const PedalReport& r) {
  ListToJson(j, "violations", r.violations,
             [](const Violation& v) { return ", \"what\": " + Quote(v.what); });
  j.Field("suppressedViolations", std::to_string(r.suppressedViolations));
  ListToJson(j, "refusals", r.refusals, [](const Refusal& f) {
    return ", \"status\": " + std::to_string(f.status) + ", \"why\": " + Quote(f.why);
  });
  ListToJson(j, "faults", r.faults,
             [](const FiredFault& f) { return ", \"what\": " + Quote(f.what); });
}

}  // namespace

std::string ReportToJson(const PedalReport& r) {
  CJson j;
  j.Open("", '{');
  j.Field("success", Bool(r.Success()));
  j.Open("identity", '{');
  j.Field("family", std::to_string(r.family));
  j.Field("member", std::to_string(r.member));
  j.Close('}');
  j.Field("updateComplete", Bool(r.updateComplete));
  j.Field("updateMode", Bool(r.updateMode));
  j.Field("semaphoreHeld", Bool(r.semaphoreHeld));
  j.Field("audioMuted", Bool(r.audioMuted));
  j.Field("batteryLow", Bool(r.batteryLow));
  j.Field("disconnected", Bool(r.disconnected));
  FlashToJson(j, r);
  FilesToJson(j, r);
  MessagesToJson(j, r);
  FindingsToJson(j, r);
  j.Open("line", '{');
  j.Field("bytesReceived", std::to_string(r.bytesReceived));
  j.Field("bytesSent", std::to_string(r.bytesSent));
  j.Field("damagedMessages", std::to_string(r.damagedMessages));
  j.Field("damagedAnswers", std::to_string(r.damagedAnswers));
  j.Field("unansweredDeviceRequests", std::to_string(r.unansweredDeviceRequests));
  j.Close('}');
  j.Close('}');
  return j.Take();
}

}  // namespace px::sim
