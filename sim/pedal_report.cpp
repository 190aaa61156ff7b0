#include "sim/pedal_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "protocol/codec.h"
#include "sim/report_verdicts.h"

namespace px::sim {
namespace {

// Keys keep the order they are written in, so the report reads top to bottom.
using Json = nlohmann::ordered_json;

std::string Hex32(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

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

Json FlashToJson(const PedalReport& r) {
  Json flash = {{"address", Hex32(kFlashBase)},       {"size", kFlashSize},
                {"crc32", Hex32(r.flash.crc32)},      {"bytesWritten", r.flash.bytesWritten},
                {"bytesErased", r.flash.bytesErased}, {"bytesOld", r.flash.bytesOld},
                {"blocksStored", r.blocksStored},     {"repeatedBlocks", r.repeatedBlocks}};
  if (r.flash.expectedImageGiven) {
    flash[report_key::kExpectedImage] = {{"size", r.flash.imageSize},
                                         {"crc32", Hex32(r.flash.imageCrc32)},
                                         {report_key::kMatches, r.flash.matchesImage},
                                         {"firstMismatch", r.flash.firstMismatch}};
  } else {
    flash[report_key::kExpectedImage] = nullptr;
  }
  return flash;
}

void FilesToJson(Json& j, const PedalReport& r) {
  Json files = Json::array();
  for (const FileReport& f : r.files) {
    files.push_back(
        {{report_key::kName, f.name},
         {"size", f.size},
         {"crc32", Hex32(f.crc32)},
         {"open", f.open},
         {report_key::kMatchesExpected, f.matchesExpected ? Json(*f.matchesExpected) : Json()}});
  }
  j[report_key::kFiles] = std::move(files);
  j["missingFiles"] = r.missingFiles;
}

void MessagesToJson(Json& j, const PedalReport& r) {
  Json counts = {{"total", r.messagesReceived}};
  for (size_t i = 0; i < kMessageKindCount; ++i) {
    if (r.messagesByKind[i] != 0) counts[KindName(static_cast<WireKind>(i))] = r.messagesByKind[i];
  }
  j["messages"] = std::move(counts);
  Json sequence = Json::array();
  for (WireKind kind : r.sequence) sequence.push_back(KindName(kind));
  j["sequence"] = std::move(sequence);
}

// A list of {"message": n, "kind": k, ...} entries; more() adds the rest of each.
template <typename T, typename More>
Json ListToJson(const std::vector<T>& list, More more) {
  Json out = Json::array();
  for (const T& e : list) {
    Json entry = {{"message", e.message}, {"kind", KindName(e.kind)}};
    more(entry, e);
    out.push_back(std::move(entry));
  }
  return out;
}

void FindingsToJson(Json& j, const PedalReport& r) {
  j["violations"] =
      ListToJson(r.violations, [](Json& out, const Violation& v) { out["what"] = v.what; });
  j["suppressedViolations"] = r.suppressedViolations;
  j["refusals"] = ListToJson(r.refusals, [](Json& out, const Refusal& f) {
    out["status"] = f.status;
    out["why"] = f.why;
  });
  j["faults"] = ListToJson(r.faults, [](Json& out, const FiredFault& f) { out["what"] = f.what; });
}

}  // namespace

std::string ReportToJson(const PedalReport& r) {
  Json j = {{"success", r.Success()},
            {"identity", {{"family", r.family}, {"member", r.member}}},
            {"updateComplete", r.updateComplete},
            {"updateMode", r.updateMode},
            {"semaphoreHeld", r.semaphoreHeld},
            {"audioMuted", r.audioMuted},
            {"batteryLow", r.batteryLow},
            {"disconnected", r.disconnected}};
  j[report_key::kFlash] = FlashToJson(r);
  FilesToJson(j, r);
  MessagesToJson(j, r);
  FindingsToJson(j, r);
  j["line"] = {{"bytesReceived", r.bytesReceived},
               {"bytesSent", r.bytesSent},
               {"damagedMessages", r.damagedMessages},
               {"damagedAnswers", r.damagedAnswers},
               {"unansweredDeviceRequests", r.unansweredDeviceRequests}};
  // Text the pedal saw on the line may not be UTF-8; it is written with replacement marks.
  return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace px::sim
