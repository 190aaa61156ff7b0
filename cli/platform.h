#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/hints.h"
#include "serial/port_discovery.h"

// What the command line needs from the operating system, one file per platform.
namespace px::cli {

// Calls onInterrupt (from a thread of its own) at the first Ctrl-C or termination request.
// Construct it before any other thread starts.
class CInterruptWatch {
 public:
  explicit CInterruptWatch(std::function<void()> onInterrupt);
  ~CInterruptWatch();
  CInterruptWatch(const CInterruptWatch&) = delete;
  CInterruptWatch& operator=(const CInterruptWatch&) = delete;
  bool Interrupted() const { return interrupted_.load(); }
  const std::atomic<bool>& Flag() const { return interrupted_; }
  // Blocks until the terminal has input to read (true) or the interrupt came (false).
  bool WaitForInput() const;

 private:
  std::function<void()> onInterrupt_;
  std::atomic<bool> interrupted_{false};
  // Becomes ready at the interrupt and stays so: a pipe on POSIX (read end, write end), a
  // manual-reset event on Windows (the first).
  intptr_t interruptedSignal_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread watcher_;
};

// The ports of a fixture tree (sysRoot for sysfs, devRoot for device names), for the tests' port
// roots; false where ports are not listed from files.
bool ListFixturePorts(const std::string& sysRoot, const std::string& devRoot,
                      std::vector<PortEntry>& ports);

bool IsTerminal(FILE* file);
// Lets the terminal take cursor movements (the board of several pedals); returns its width in
// columns, 0 when unknown.
size_t PrepareTerminal(FILE* file);
// Asks on the terminal; false on "no", end of input or the interrupt.
bool AskYesNo(const std::string& question, const CInterruptWatch& interrupt);
// The answers that count as "yes" (the line as typed, without its end).
inline bool IsYes(const std::string& answer) {
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

}  // namespace px::cli
