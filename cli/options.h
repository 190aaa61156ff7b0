#pragma once
#include <string>
#include <vector>

namespace px::cli {

enum class Command { None, Ports, Identify, Flash };

struct Options {
  Command command = Command::None;
  std::string port;
  bool simulate = false;
  std::vector<std::string> pedalArgs;
  std::string progress = "auto";
  std::string trace;
  bool yes = false;
};

// Reads the command line. Returns -1 when a command is to run, otherwise the exit status (0 after
// --help or --version, 2 for bad usage), with what to print in out and err.
int ParseCommandLine(int argc, const char* const* argv, Options& o, std::string& out,
                     std::string& err);

}  // namespace px::cli
