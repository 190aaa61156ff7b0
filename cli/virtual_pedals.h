#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/images.h"

// The virtual pedals of --simulate: px550-sim started here, each on a pseudo-terminal of its own,
// given the images this program carries to check its flash and files against, and its report
// told at the end.
namespace px::cli {

// A virtual pedal, started as a child process on a pseudo-terminal of its own.
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

class CVirtualPedals {
 public:
  // Starts the o.simulate pedals and adds their ports. images: what a flash writes (each pedal
  // then checks against it and writes a report); nullptr to identify. Gives the exit status when
  // one cannot start, nothing when every one runs.
  std::optional<int> Start(const Options& o, const DeviceImages* images,
                           std::vector<std::string>& ports);
  // Stops every pedal and tells what its report says of its flash and files, after its port
  // when several ran.
  void StopAndTellReports(const std::vector<std::string>& ports, bool several);

 private:
  std::vector<std::string> ArgsOf(const Options& o, int pedal) const;

  // The files go on every way out, after the pedals that read them have stopped.
  std::unique_ptr<CTempFile> firmwareFile_;
  std::unique_ptr<CTempFile> moduleFile_;
  std::vector<std::unique_ptr<CTempFile>> reports_;
  std::vector<std::unique_ptr<CSimulator>> pedals_;
};

}  // namespace px::cli
