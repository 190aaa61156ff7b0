#pragma once
#include <string>

#include "engine/update_runner.h"

// What the environment may change in a build made for tests (PX_TEST_HOOKS). Elsewhere the
// variables are ignored: the shipped program always runs at the pedal's own times on the
// system's own ports.
namespace px::cli {

// The engine's times. PX550_TEST_TIMING_SCALE=0.01 runs every wait and pause at a hundredth.
EngineTiming TimingFromEnvironment();

// PX550_SYSFS_ROOT and PX550_DEV_ROOT: a fixture tree to list ports from (sysfs on Linux, device
// names elsewhere). True when either is set; the other is "/sys" or "/dev" unless given.
bool PortRootsFromEnvironment(std::string& sysRoot, std::string& devRoot);

// The default times scaled by text, a number in (0, 1]. Anything else (not a number, 0, negative,
// infinite, above 1) leaves them as they are; no time comes out larger than its default or
// below 1 ms, and the erase rate stays within what its field holds.
EngineTiming ScaledTiming(const char* text);

}  // namespace px::cli
