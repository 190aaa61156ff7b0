#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "chaos.h"

// The Windows link's runs: px550-chaos-runner.exe under Wine drives the updater over COMn, which
// the prefix maps to a pseudo-terminal whose other end the virtual pedal serves here. One
// long-lived runner per job amortises Wine's start-up; each takes its runs one line at a time.
namespace px::chaos {

struct WineOptions {
  std::string runner;  // the Windows runner's executable, as a Linux path
  int jobs = 1;
  int firstPort = 21;  // job j uses COM(firstPort + j)
};

class CWineRuns {
 public:
  CWineRuns(const WineOptions& wine, const RunOptions& run);
  ~CWineRuns();
  CWineRuns(const CWineRuns&) = delete;
  CWineRuns& operator=(const CWineRuns&) = delete;

  // Starts one runner per job and waits until each has said it is ready. False with a message.
  bool Start(std::string& error);
  // Plays one run on job `job`'s runner; one call at a time per job.
  RunResult Play(const Mix& mix, size_t job);
  // Ends the runners (closing their input) and removes the COM port links.
  void Stop();

  // Of the runs whose line went down, how many the Windows link saw fail; and of those whose
  // line stayed up (a quiet line is no lost port), how many it took for failed.
  size_t LinesDown() const { return linesDown_.load(); }
  size_t LineFailuresSeen() const { return lineFailuresSeen_.load(); }
  size_t LinesUp() const { return linesUp_.load(); }
  size_t FalseLineFailures() const { return falseLineFailures_.load(); }

 private:
  struct Runner {
    pid_t pid = -1;
    int toRunner = -1;
    int fromRunner = -1;
    std::string pending;  // received bytes not yet taken as a line
  };

  bool Spawn(Runner& runner, std::string& error);
  void End(Runner& runner);
  // The next line from the runner within deadlineMs; while waiting, calls tick every 20 ms.
  // False on a time-out or the runner's end.
  template <typename Tick>
  bool ReadLine(Runner& runner, double deadlineMs, Tick tick, std::string& line,
                std::string& error);
  std::string PortLink(size_t job) const;

  const WineOptions wine_;
  const RunOptions run_;
  std::string dosdevices_;
  std::vector<Runner> runners_;
  std::atomic<size_t> linesDown_{0};
  std::atomic<size_t> lineFailuresSeen_{0};
  std::atomic<size_t> linesUp_{0};
  std::atomic<size_t> falseLineFailures_{0};
};

}  // namespace px::chaos
