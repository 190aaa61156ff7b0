#pragma once
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// The keys of the pedal's report that the program which started it reads back, and that reading:
// the report's writer and its readers both take them from here.
namespace px::sim {
namespace report_key {
inline constexpr const char* kFlash = "flash";
inline constexpr const char* kExpectedImage = "expectedImage";
inline constexpr const char* kMatches = "matches";
inline constexpr const char* kFiles = "files";
inline constexpr const char* kName = "name";
inline constexpr const char* kMatchesExpected = "matchesExpected";
}  // namespace report_key

struct ReportVerdicts {
  // Whether the flash equals the expected image; nothing when the report does not say (no
  // report, or no expected image given).
  std::optional<bool> flashMatches;
  bool fileMatches = false;  // the pedal holds the file asked for, equal to the one expected
};

// A member of an object; null when `json` is no object or has no such member.
inline const nlohmann::json& ReportMember(const nlohmann::json& json, const char* key) {
  static const nlohmann::json kNone;
  const auto at = json.find(key);  // end() for anything but an object
  return at == json.end() ? kNone : *at;
}

// Reads a report as the pedal writes it; whatever is not there reads as not said.
inline ReportVerdicts ReadReportVerdicts(std::istream& in, const std::string& fileName) {
  using namespace report_key;
  const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
  ReportVerdicts verdicts;
  const nlohmann::json& matches =
      ReportMember(ReportMember(ReportMember(report, kFlash), kExpectedImage), kMatches);
  if (matches.is_boolean()) verdicts.flashMatches = matches.get<bool>();
  const nlohmann::json& files = ReportMember(report, kFiles);
  if (!files.is_array()) return verdicts;
  for (const nlohmann::json& file : files) {
    if (ReportMember(file, kName) != fileName) continue;
    verdicts.fileMatches = ReportMember(file, kMatchesExpected) == true;
    break;
  }
  return verdicts;
}

}  // namespace px::sim
