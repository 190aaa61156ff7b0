#pragma once
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// The keys of the pedal's report that a program which started the pedal reads back, and that
// reading, next to each other: the report's writer and its readers take both from here.
namespace px::sim {

namespace report_key {
inline constexpr const char* kFlash = "flash";
inline constexpr const char* kExpectedImage = "expectedImage";
inline constexpr const char* kMatches = "matches";
inline constexpr const char* kFiles = "files";
inline constexpr const char* kName = "name";
inline constexpr const char* kMatchesExpected = "matchesExpected";
}  // namespace report_key

// What a report says of the pedal's flash and of one of its files.
struct ReportVerdicts {
  // Whether the flash equals the expected image; nothing when the report does not say (no
  // report, or no expected image given).
  std::optional<bool> flashMatches;
  // Whether the pedal holds the file, equal to the one expected.
  bool fileMatches = false;
};

namespace report_detail {

// A member of an object; null when `json` is no object or has no such member.
inline const nlohmann::json& Member(const nlohmann::json& json, const char* key) {
  static const nlohmann::json kNone;
  if (!json.is_object()) return kNone;
  const auto at = json.find(key);
  return at == json.end() ? kNone : *at;
}

inline std::optional<bool> BoolOf(const nlohmann::json& json) {
  if (!json.is_boolean()) return std::nullopt;
  return json.get<bool>();
}

}  // namespace report_detail

// Reads a report as the pedal writes it; what is not there (or no JSON at all) reads as not said.
inline ReportVerdicts ReadReportVerdicts(std::istream& in, const std::string& fileName) {
  using report_detail::BoolOf;
  using report_detail::Member;
  const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
  ReportVerdicts verdicts;
  const nlohmann::json& image =
      Member(Member(report, report_key::kFlash), report_key::kExpectedImage);
  verdicts.flashMatches = BoolOf(Member(image, report_key::kMatches));
  const nlohmann::json& files = Member(report, report_key::kFiles);
  if (!files.is_array()) return verdicts;
  for (const nlohmann::json& file : files) {
    const nlohmann::json& name = Member(file, report_key::kName);
    if (name.is_string() && name == fileName) {
      verdicts.fileMatches = BoolOf(Member(file, report_key::kMatchesExpected)).value_or(false);
      break;
    }
  }
  return verdicts;
}

}  // namespace px::sim
