// Feeds arbitrary option strings through the command line's parsing, and arbitrary port names
// and entry texts through the port list's text handling.
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  const int rc = px::cli::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), o, out, err);
  if (rc != -1 && rc != 0 && rc != 2) __builtin_trap();
  if (rc == -1 && o.command == px::cli::Command::None) __builtin_trap();

  // Every argument as an entry text and as a port name with a friendly name.
  constexpr int kCapacity = 4;
  char* list[kCapacity] = {};
  int count = 0;
  std::vector<std::string> texts;
  for (size_t i = 1; i < args.size(); ++i) {
    px::PortNumberOfEntry(args[i].c_str());
    px::serial_detail::AddPortEntry(list, kCapacity, count, args[i].c_str(),
                                    args[(i % (args.size() - 1)) + 1].c_str());
    if (count > kCapacity) __builtin_trap();
    texts.push_back(args[i]);
  }
  for (int i = 0; i < kCapacity; ++i) {
    if ((list[i] != nullptr) != (i < count)) __builtin_trap();  // filled from the front, no gaps
    if (list[i] != nullptr && strnlen(list[i], 256) > 255) __builtin_trap();
    px::PortNumberAt(list, kCapacity, i);
  }
  px::PortNumberAt(list, kCapacity, -1);
  px::PortNumberAt(list, kCapacity, kCapacity);
  px::ReleasePortList(list, kCapacity);
  const int preferred = px::PreferredPortIndex(texts);
  if (preferred >= static_cast<int>(texts.size())) __builtin_trap();
  for (const std::string& t : texts) px::PortNameOfEntry(t);
  return 0;
}
