#include "cli/test_hooks.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace px::cli {

EngineTiming ScaledTiming(const char* text) {
  EngineTiming t;
  if (text == nullptr || *text == 0) return t;
  char* end = nullptr;
  const double scale = strtod(text, &end);
  if (end == text || *end != 0 || !std::isfinite(scale) || scale <= 0 || scale > 1) return t;
  auto scaled = [scale](uint32_t ms) {
    const double v = std::round(ms * scale);
    return v < 1 ? uint32_t{1} : static_cast<uint32_t>(v);
  };
  for (uint32_t* ms : ScaledTimes(t)) *ms = scaled(*ms);
  // The erase is given size / rate: a faster rate, but one that still fits its field.
  constexpr double kMaxRate = std::numeric_limits<uint32_t>::max();
  const double rate = t.eraseBytesPerMs / scale;
  t.eraseBytesPerMs =
      rate >= kMaxRate ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(rate);
  return t;
}

#if defined(PX_TEST_HOOKS) && PX_TEST_HOOKS

EngineTiming TimingFromEnvironment() {
  return ScaledTiming(getenv("PX550_TEST_TIMING_SCALE"));
}

bool PortRootsFromEnvironment(std::string& sysRoot, std::string& devRoot) {
  const char* sys = getenv("PX550_SYSFS_ROOT");
  const char* dev = getenv("PX550_DEV_ROOT");
  const bool haveSys = sys != nullptr && *sys != 0;
  const bool haveDev = dev != nullptr && *dev != 0;
  if (!haveSys && !haveDev) return false;
  sysRoot = haveSys ? sys : "/sys";
  devRoot = haveDev ? dev : "/dev";
  return true;
}

#else

EngineTiming TimingFromEnvironment() {
  return {};
}

bool PortRootsFromEnvironment(std::string&, std::string&) {
  return false;
}

#endif

}  // namespace px::cli
