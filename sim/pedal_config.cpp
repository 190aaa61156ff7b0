#include "sim/pedal_config.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace px::sim {
namespace {

struct ActionInfo {
  FaultAction action;
  const char* name;
  int values;  // 0: none, 1: one, 2: one and an optional second
};
constexpr ActionInfo kActions[] = {
    {FaultAction::Silence, "silence", 0},
    {FaultAction::Status, "status", 1},
    {FaultAction::Ack, "ack", 1},
    {FaultAction::ValueReply, "value", 1},
    {FaultAction::ResultReply, "result", 1},
    {FaultAction::CodeReply, "code", 2},
    {FaultAction::SubReply, "sub", 1},
    {FaultAction::Late, "late", 1},
    {FaultAction::Duplicate, "duplicate", 0},
    {FaultAction::Disconnect, "disconnect", 0},
    {FaultAction::AskIdentity, "ask-identity", 0},
    {FaultAction::UnknownCommand, "unknown-command", 0},
    {FaultAction::StrayBytes, "stray", 0},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Decimal or 0x-prefixed hexadecimal, with an optional minus sign.
bool ParseInt(std::string_view s, int64_t& v) {
  bool negative = false;
  if (!s.empty() && s[0] == '-') {
    negative = true;
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t u = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), u, base);
  if (ec != std::errc() || end != s.data() + s.size() || u > 0xFFFFFFFFull) return false;
  v = negative ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
  return true;
}

bool ParseCount(std::string_view s, uint32_t& v) {
  int64_t x = 0;
  if (!ParseInt(s, x) || x < 1 || x > 0xFFFFFFFFll) return false;
  v = static_cast<uint32_t>(x);
  return true;
}

// KIND[#BLOCK|@ADDRESS]
bool ParseTarget(std::string_view target, FaultRule& rule, std::string& error) {
  const size_t mark = target.find_first_of("#@");
  std::string_view kindName = target.substr(0, mark);
  if (kindName != "*" && !EqualNoCase(kindName, "any")) {
    WireKind kind;
    if (!ParseKind(kindName, kind)) {
      error = "unknown message kind \"" + std::string(kindName) + "\"";
      return false;
    }
    rule.kind = kind;
  }
  if (mark != std::string_view::npos) {
    if (rule.kind != WireKind::RomWrite) {
      error = "a block (#N) or an address (@A) only goes with RomWrite";
      return false;
    }
    int64_t v = 0;
    if (!ParseInt(target.substr(mark + 1), v) || v < 0) {
      error = "bad block or address in \"" + std::string(target) + "\"";
      return false;
    }
    if (target[mark] == '#') {
      if (v > 0x7FFFFFFF) {
        error = "block index too large";
        return false;
      }
      rule.block = static_cast<int32_t>(v);
    } else {
      rule.address = static_cast<uint32_t>(v);
    }
  }
  return true;
}

// all, N, N-M or N-
bool ParseOccurrences(std::string_view occurrences, FaultRule& rule, std::string& error) {
  if (EqualNoCase(occurrences, "all") || occurrences == "*") {
    rule.when = Occurrences::Always();
  } else {
    const size_t dash = occurrences.find('-');
    uint32_t from = 0;
    uint32_t to = 0;
    bool ok = false;
    if (dash == std::string_view::npos) {
      ok = ParseCount(occurrences, from);
      to = from;
    } else if (dash + 1 == occurrences.size()) {
      ok = ParseCount(occurrences.substr(0, dash), from);
      to = kForever;
    } else {
      ok = ParseCount(occurrences.substr(0, dash), from) &&
           ParseCount(occurrences.substr(dash + 1), to) && to >= from;
    }
    if (!ok) {
      error = "occurrences are all, N, N-M or N- (counted from 1), got \"" +
              std::string(occurrences) + "\"";
      return false;
    }
    rule.when = {from, to};
  }
  return true;
}

// ACTION[=VALUE[,EXTRA]]
bool ParseAction(std::string_view action, FaultRule& rule, std::string& error) {
  const size_t eq = action.find('=');
  const std::string_view name = action.substr(0, eq);
  const ActionInfo* info = nullptr;
  for (const ActionInfo& a : kActions) {
    if (EqualNoCase(name, a.name)) info = &a;
  }
  if (info == nullptr) {
    error =
        "unknown action \"" + std::string(name) +
        "\" (silence, status=S, ack=S, value=V, result=S, code=C[,V], sub=N, late=MS, duplicate, "
        "disconnect, ask-identity, unknown-command, stray)";
    return false;
  }
  rule.action = info->action;
  if (info->values == 0) {
    if (eq != std::string_view::npos) {
      error = std::string(info->name) + " takes no value";
      return false;
    }
    return true;
  }
  if (eq == std::string_view::npos) {
    error = std::string(info->name) + " needs a value";
    return false;
  }
  std::string_view values = action.substr(eq + 1);
  const size_t comma = values.find(',');
  int64_t v = 0;
  int64_t x = 0;
  if (!ParseInt(values.substr(0, comma), v) ||
      (comma != std::string_view::npos &&
       (info->values < 2 || !ParseInt(values.substr(comma + 1), x)))) {
    error = "bad value in \"" + std::string(action) + "\"";
    return false;
  }
  const bool byteSized = rule.action == FaultAction::Status || rule.action == FaultAction::Ack ||
                         rule.action == FaultAction::ResultReply ||
                         rule.action == FaultAction::CodeReply ||
                         rule.action == FaultAction::SubReply;
  if (byteSized && (v < 0 || v > 127)) {
    error = std::string(info->name) + " must be 0 to 127 (one data byte)";
    return false;
  }
  if (rule.action == FaultAction::Late && (v < 0 || v > 3600000)) {
    error = "late takes 0 to 3600000 ms";
    return false;
  }
  if (v < INT32_MIN || v > INT32_MAX || x < INT32_MIN || x > INT32_MAX) {
    error = "value out of range in \"" + std::string(action) + "\"";
    return false;
  }
  rule.value = static_cast<int32_t>(v);
  rule.extra = static_cast<int32_t>(x);
  return true;
}

}  // namespace

const char* ActionName(FaultAction action) {
  for (const ActionInfo& a : kActions) {
    if (a.action == action) return a.name;
  }
  return "?";
}

bool ParseFaultRule(std::string_view text, FaultRule& rule, std::string& error) {
  rule = FaultRule{};
  const size_t c1 = text.find(':');
  const size_t c2 = c1 == std::string_view::npos ? c1 : text.find(':', c1 + 1);
  if (c2 == std::string_view::npos) {
    error = "a fault is KIND:OCCURRENCES:ACTION[=VALUE], got \"" + std::string(text) + "\"";
    return false;
  }
  return ParseTarget(text.substr(0, c1), rule, error) &&
         ParseOccurrences(text.substr(c1 + 1, c2 - c1 - 1), rule, error) &&
         ParseAction(text.substr(c2 + 1), rule, error);
}

std::string FormatFaultRule(const FaultRule& rule) {
  std::string s = rule.kind ? KindName(*rule.kind) : "*";
  char buf[32];
  // Appended piece by piece: GCC 12 warns falsely on "x" + std::to_string(n) at -O2.
  if (rule.block >= 0) {
    s += '#';
    s += std::to_string(rule.block);
  }
  if (rule.address) {
    snprintf(buf, sizeof buf, "@0x%08X", *rule.address);
    s += buf;
  }
  s += ":";
  if (rule.when.first == 1 && rule.when.last == kForever) {
    s += "all";
  } else if (rule.when.first == rule.when.last) {
    s += std::to_string(rule.when.first);
  } else {
    s += std::to_string(rule.when.first);
    s += '-';
    if (rule.when.last != kForever) s += std::to_string(rule.when.last);
  }
  s += ":";
  s += ActionName(rule.action);
  for (const ActionInfo& a : kActions) {
    if (a.action != rule.action || a.values == 0) continue;
    s += '=';
    s += std::to_string(rule.value);
    if (rule.action == FaultAction::CodeReply && rule.value == 34) {
      s += ',';
      s += std::to_string(rule.extra);
    }
  }
  return s;
}

uint8_t OldFirmwareByte(uint32_t offset) {
  const uint8_t b = static_cast<uint8_t>((offset * 7u) ^ (offset >> 9) ^ 0xA5u);
  return b == 0xFF ? 0x5A : b;  // never the erased value, so an unerased byte always shows
}

std::map<std::string, std::vector<uint8_t>> PedalConfig::DefaultFiles() {
  std::vector<uint8_t> old(6000);
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(i * 13 + 1);
  return {{"LINESEL.TDL", std::move(old)}};
}

}  // namespace px::sim
