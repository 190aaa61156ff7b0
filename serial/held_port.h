#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// Some drivers let a port go a moment after it was closed, so an open that follows at once can be
// refused as held by another program when this program itself just let the port go. Such a
// refusal is tried again for a short while; a port held by anyone else is refused at once.
namespace px::serial_detail {

using SteadyTime = std::chrono::steady_clock::time_point;

// How long after our own close a refusal as held may still be the close taking effect, and how
// long to wait between tries.
inline constexpr std::chrono::milliseconds kHeldAfterCloseMs{2000};
inline constexpr std::chrono::milliseconds kHeldRetryStepMs{250};

// How long to wait before trying again an open that was refused as held, where this program last
// closed the same port at ourLastClose (nothing: never, or since opened it again); nothing when
// the refusal stands. The waits never reach past kHeldAfterCloseMs after the close.
std::optional<std::chrono::milliseconds> HeldPortRetryWait(std::optional<SteadyTime> ourLastClose,
                                                           SteadyTime now);

// When this program last closed each port, for every link of the process. Any thread.
class CPortCloses {
 public:
  void Closed(const std::string& devicePath, SteadyTime at);
  // A successful open: the port was let go, whatever came before.
  void Opened(const std::string& devicePath);
  std::optional<SteadyTime> LastClose(const std::string& devicePath) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, SteadyTime> closes_;
};

CPortCloses& PortCloses();

}  // namespace px::serial_detail
