#pragma once
#include <optional>
#include <string>
#include <vector>

#include "engine/pedal_limit.h"

namespace px::cli {

enum class Command { None, Ports, Identify, Flash };

struct Options {
  Command command = Command::None;
  std::vector<std::string> ports;  // --port, once per pedal
  bool all = false;                // --all: every Bluetooth serial port
  bool allPorts = false;           // --all-ports: every serial port
  int simulate = 0;                // virtual pedals to start instead (--simulate [N])
  // As given: "ARG" goes to every virtual pedal, "N:ARG" only to the N-th (from 1).
  std::vector<std::string> pedalArgs;
  std::string progress = "auto";
  std::string trace;
  bool yes = false;
  bool verbose = false;  // the virtual pedals' own lines too
};

// Reads the command line. Gives nothing when a command is to run, otherwise the exit status (0
// after --help or --version, 2 for bad usage), with what to print in out and err.
std::optional<int> ParseCommandLine(int argc, const char* const* argv, Options& o, std::string& out,
                                    std::string& err);

// The arguments of virtual pedal `pedal` (from 1): the --pedal-arg values meant for every pedal
// and those meant for this one, in the order given.
std::vector<std::string> PedalArgsFor(const Options& o, int pedal);

}  // namespace px::cli
