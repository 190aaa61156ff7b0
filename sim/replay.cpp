#include "sim/replay.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <sstream>

#include "sim/wire.h"

namespace px::sim {
namespace {

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes) {
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) {
    if (pair.size() != 2 || !std::isxdigit(static_cast<unsigned char>(pair[0])) ||
        !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
      return false;
    }
    bytes.push_back(static_cast<uint8_t>(std::stoi(pair, nullptr, 16)));
  }
  return true;
}

// "   12.345678 [PORT ]-> 6     IdentityRequest | F0 7E 00 06 01 F7". Notes ("!!") are
// read and skipped: false with an empty error.
bool ParseLine(const std::string& line, std::string& port, TraceMessage& m, std::string& error) {
  std::istringstream in(line);
  std::string direction;
  if (!(in >> m.seconds >> direction)) {
    error = "not a trace line";
    return false;
  }
  port.clear();
  if (direction != "->" && direction != "<-" && direction != "!!") {
    port = direction;
    in >> direction;
  }
  if (direction == "!!") return false;
  size_t length = 0;
  if ((direction != "->" && direction != "<-") || !(in >> length)) {
    error = "not a trace line";
    return false;
  }
  m.fromUpdater = direction == "->";
  std::string rest;
  std::getline(in, rest);
  const size_t bar = rest.find(" | ");
  if (bar == std::string::npos || !ParseHex(rest.substr(bar + 3), m.bytes)) {
    error = "no message bytes";
    return false;
  }
  m.name = rest.substr(0, bar);
  m.name.erase(0, m.name.find_first_not_of(' '));
  if (m.bytes.size() != length || m.bytes.empty()) {
    error = "the bytes disagree with the length " + std::to_string(length);
    return false;
  }
  return true;
}

std::string Describe(const uint8_t* data, size_t length) {
  return wire::Describe(data, length);
}

}  // namespace

bool ReadTrace(std::istream& in, const std::string& port, std::vector<TraceMessage>& messages,
               std::string& error) {
  std::map<std::string, std::vector<TraceMessage>> byPort;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    TraceMessage m;
    std::string linePort;
    std::string problem;
    if (!ParseLine(line, linePort, m, problem)) {
      if (problem.empty()) continue;  // a note
      error = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
    m.line = number;
    byPort[linePort].push_back(std::move(m));
  }
  if (byPort.empty()) {
    error = "no messages in the trace";
    return false;
  }
  if (port.empty() && byPort.size() > 1) {
    error = "the trace holds several pedals; choose one with --replay-port:";
    for (const auto& [name, list] : byPort) error += " " + name;
    return false;
  }
  const auto chosen = port.empty() ? byPort.begin() : byPort.find(port);
  if (chosen == byPort.end()) {
    error = "the trace has no messages of the port " + port;
    return false;
  }
  messages = std::move(chosen->second);
  return true;
}

CReplay::CReplay(std::vector<TraceMessage> trace) : trace_(std::move(trace)) {
  expected_ = static_cast<size_t>(std::count_if(
      trace_.begin(), trace_.end(), [](const TraceMessage& m) { return m.fromUpdater; }));
}

size_t CReplay::NextUpdaterMessage() const {
  size_t i = next_;
  while (i < trace_.size() && !trace_[i].fromUpdater) ++i;
  return i;
}

// The pedal's messages from index on, up to the updater's next, timed from the message at
// `from` (its answers keep the spacing the trace shows).
std::vector<CReplay::Answer> CReplay::AnswersAfter(size_t index) {
  const double from = index > 0 ? trace_[index - 1].seconds : 0.0;
  std::vector<Answer> answers;
  for (next_ = index; next_ < trace_.size() && !trace_[next_].fromUpdater; ++next_) {
    const double delay = std::max(0.0, trace_[next_].seconds - from);
    answers.push_back({std::chrono::microseconds(std::llround(delay * 1e6)), trace_[next_].bytes});
  }
  answersGiven_ += answers.size();
  return answers;
}

std::vector<CReplay::Answer> CReplay::Opening() {
  return next_ == 0 ? AnswersAfter(0) : std::vector<Answer>{};
}

std::vector<CReplay::Answer> CReplay::OnUpdaterMessage(const uint8_t* data, size_t length) {
  if (Diverged()) return {};
  const size_t at = NextUpdaterMessage();
  const std::string number = std::to_string(matched_ + 1);
  if (at == trace_.size()) {
    difference_ = "the updater's message " + number +
                  " comes after the trace's end: " + Describe(data, length);
    return {};
  }
  const TraceMessage& expected = trace_[at];
  if (expected.bytes.size() != length || !std::equal(data, data + length, expected.bytes.begin())) {
    size_t byte = 0;
    while (byte < length && byte < expected.bytes.size() && data[byte] == expected.bytes[byte]) {
      ++byte;
    }
    difference_ = "the updater's message " + number + " differs from the trace (line " +
                  std::to_string(expected.line) + "): the trace has " + expected.name +
                  ", the updater sent " + Describe(data, length) + "; first difference at byte " +
                  std::to_string(byte);
    return {};
  }
  ++matched_;
  return AnswersAfter(at + 1);
}

void CReplay::OnLineClosed() {
  if (Diverged() || Complete()) return;
  const TraceMessage& next = trace_[NextUpdaterMessage()];
  difference_ = "the updater closed the line after " + std::to_string(matched_) + " of " +
                std::to_string(expected_) + " messages; the trace goes on with " + next.name +
                " (line " + std::to_string(next.line) + ")";
}

std::string CReplay::Summary() const {
  std::string s = "replay: " + std::to_string(matched_) + " of " + std::to_string(expected_) +
                  " updater messages as traced, " + std::to_string(answersGiven_) +
                  " answers given";
  return Diverged() ? s + "; " + difference_ : s;
}

std::string CReplay::ReportJson(const std::string& traceName) const {
  auto quoted = [](const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out + "\"";
  };
  std::ostringstream json;
  json << "{\n  \"replay\": " << quoted(traceName)
       << ",\n  \"success\": " << (Complete() && !Diverged() ? "true" : "false")
       << ",\n  \"updaterMessages\": " << expected_ << ",\n  \"matched\": " << matched_
       << ",\n  \"answersGiven\": " << answersGiven_
       << ",\n  \"difference\": " << quoted(difference_) << "\n}\n";
  return json.str();
}

}  // namespace px::sim
