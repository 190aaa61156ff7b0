// Feeds arbitrary option strings through the command line's parsing, and arbitrary port names
// and entry texts through the port list's text handling.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "serial/port_discovery.h"
#include "serial/port_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input, cut at NUL bytes, is the argument vector.
  std::vector<std::string> args = {"px550-update"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  px::cli::Options o;
  std::string out, err;
  const std::optional<int> rc =
      px::cli::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), o, out, err);
  if (rc && *rc != 0 && *rc != 2) __builtin_trap();
  if (!rc && o.command == px::cli::Command::None) __builtin_trap();

  // Every argument as a port name with a friendly name, and as an entry text.
  std::vector<px::PortEntry> ports;
  for (size_t i = 1; i < args.size(); ++i) {
    const int number = px::ComPortNumber(args[i]);
    if (number < -1) __builtin_trap();
    // A port number is exactly what follows "COM", never a part or an overflow of it.
    if (number > 0 && args[i].substr(3) != std::to_string(number)) __builtin_trap();
    ports.push_back(px::serial_detail::MakePortEntry(args[i], args[(i % (args.size() - 1)) + 1]));
  }
  px::serial_detail::SortPorts(ports);
  if (ports.size() > px::serial_detail::kMaxPorts) __builtin_trap();
  for (const px::PortEntry& port : ports) {
    if (px::EntryText(port).size() > 255) __builtin_trap();
  }
  const int preferred = px::PreferredPortIndex(ports);
  if (preferred >= static_cast<int>(ports.size())) __builtin_trap();
  return 0;
}
