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

// The virtual pedal, started as a child process on a pseudo-terminal of its own.
class CSimulator {
 public:
  ~CSimulator();
  // Starts px550-sim --pty with the extra arguments; on success ptyPath is the port to open.
  // Its own lines on stderr are shown only when verbose.
  bool Start(const std::vector<std::string>& extraArgs, bool verbose, std::string& ptyPath,
             std::string& error);
  // Asks the pedal to finish, waits for it and returns its exit status (-1 when not started).
  int Stop();

 private:
  long pid_ = -1;
  // The read end of the pedal's standard output, which it holds until it ends: the end of the
  // file there is the news that it has ended.
  int exitFd_ = -1;
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
// A file name for a temporary file; "" when none can be made.
std::string TempPath(const std::string& stem);

// A temporary file that is removed when this goes, on every way out.
class CTempFile {
 public:
  explicit CTempFile(const std::string& stem) : path_(TempPath(stem)) {}
  ~CTempFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace px::cli
