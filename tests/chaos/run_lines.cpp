// The request and reply lines between the campaign and the Windows runner.
#include "run_lines.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

namespace px::chaos {
namespace {

using nlohmann::json;

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s(2 * bytes.size(), '0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    s[2 * i] = kDigits[bytes[i] >> 4];
    s[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return s;
}

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unhex(const std::string& s, std::shared_ptr<const std::vector<uint8_t>>& out) {
  if (s.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes(s.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int hi = Digit(s[2 * i]);
    const int lo = Digit(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  out = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
  return true;
}

}  // namespace

std::string EncodeRequest(const RunRequest& q) {
  const UpdaterRun& r = q.run;
  const EngineTiming& t = r.timing;
  json j = {{"seed", r.seed},
            {"port", q.port},
            {"trace", q.trace},
            {"abortAtMs", r.abortAtMs},
            {"worstCaseMs", r.worstCaseMs},
            {"loadFactor", r.loadFactor},
            {"timing",
             {{"replyWaitMs", t.replyWaitMs},
              {"updateStartPauseMs", t.updateStartPauseMs},
              {"resendPauseMs", t.resendPauseMs},
              {"semaphorePauseMs", t.semaphorePauseMs},
              {"eraseBytesPerMs", t.eraseBytesPerMs},
              {"eraseExtraMs", t.eraseExtraMs},
              {"lastAnswerMarginMs", t.lastAnswerMarginMs}}},
            {"firmware", r.firmware ? Hex(*r.firmware) : ""},
            {"module", r.module ? Hex(*r.module) : ""}};
  return j.dump();
}

bool DecodeRequest(const std::string& line, RunRequest& q, std::string& error) {
  try {
    const json j = json::parse(line);
    UpdaterRun& r = q.run;
    r.seed = j.at("seed").get<uint64_t>();
    q.port = j.at("port").get<std::string>();
    q.trace = j.at("trace").get<bool>();
    r.abortAtMs = j.at("abortAtMs").get<int64_t>();
    r.worstCaseMs = j.at("worstCaseMs").get<double>();
    r.loadFactor = j.at("loadFactor").get<double>();
    const json& t = j.at("timing");
    r.timing.replyWaitMs = t.at("replyWaitMs").get<uint32_t>();
    r.timing.updateStartPauseMs = t.at("updateStartPauseMs").get<uint32_t>();
    r.timing.resendPauseMs = t.at("resendPauseMs").get<uint32_t>();
    r.timing.semaphorePauseMs = t.at("semaphorePauseMs").get<uint32_t>();
    r.timing.eraseBytesPerMs = t.at("eraseBytesPerMs").get<uint32_t>();
    r.timing.eraseExtraMs = t.at("eraseExtraMs").get<uint32_t>();
    r.timing.lastAnswerMarginMs = t.at("lastAnswerMarginMs").get<uint32_t>();
    if (!Unhex(j.at("firmware").get<std::string>(), r.firmware) ||
        !Unhex(j.at("module").get<std::string>(), r.module)) {
      error = "an image that is not hexadecimal";
      return false;
    }
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

std::string EncodeReply(const RunReply& p) {
  const Shown& s = p.shown;
  json j = {{"seed", p.seed},
            {"error", p.error},
            {"errors", s.errors},
            {"completions", s.completions},
            {"outcome", OutcomeName(s.outcome)},
            {"elapsedMs", s.elapsedMs},
            {"stillRunning", s.stillRunning},
            {"aborted", s.aborted},
            {"ranOnAfterAbort", s.ranOnAfterAbort},
            {"callsAfterAbort", s.callsAfterAbort},
            {"sendsAfterAbort", s.sendsAfterAbort},
            {"successCommands", s.successCommands},
            {"controlsEnabled", s.controlsEnabled},
            {"inProgress", s.inProgress},
            {"lineFailed", p.lineFailed}};
  return j.dump();
}

bool DecodeReply(const std::string& line, RunReply& p, std::string& error) {
  try {
    const json j = json::parse(line);
    Shown& s = p.shown;
    p.seed = j.at("seed").get<uint64_t>();
    p.error = j.at("error").get<std::string>();
    s.errors = j.at("errors").get<std::vector<std::string>>();
    s.completions = j.at("completions").get<size_t>();
    if (!OutcomeOfName(j.at("outcome").get<std::string>(), s.outcome)) {
      error = "an unknown outcome";
      return false;
    }
    s.elapsedMs = j.at("elapsedMs").get<double>();
    s.stillRunning = j.at("stillRunning").get<bool>();
    s.aborted = j.at("aborted").get<bool>();
    s.ranOnAfterAbort = j.at("ranOnAfterAbort").get<bool>();
    s.callsAfterAbort = j.at("callsAfterAbort").get<int>();
    s.sendsAfterAbort = j.at("sendsAfterAbort").get<int>();
    s.successCommands = j.at("successCommands").get<int>();
    s.controlsEnabled = j.at("controlsEnabled").get<bool>();
    s.inProgress = j.at("inProgress").get<bool>();
    p.lineFailed = j.at("lineFailed").get<bool>();
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

}  // namespace px::chaos
