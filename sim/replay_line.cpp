// The replay on a line: a pty master or a serial port, one thread.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include "sim/framer.h"
#include "sim/replay.h"

namespace px::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kPollMs = 20;
// A write that the updater does not take within this is dropped, as a dead line drops it.
constexpr auto kWriteLimit = std::chrono::seconds(2);

class CReplayLine {
 public:
  CReplayLine(int fd, bool isPty, CReplay& replay) : fd_(fd), isPty_(isPty), replay_(replay) {}

  // One turn of the line: sends what is due, then takes what came. False once the line is
  // over: the updater closed its end after talking, or the port failed.
  bool Turn() {
    SendDue();
    int wait = kPollMs;
    if (!due_.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due_.begin()->first -
                                                                              SteadyClock::now());
      wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, kPollMs));
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, wait) <= 0) return true;
    if (p.revents & POLLIN) {
      uint8_t buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        Take(buf, static_cast<size_t>(n));
        return true;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    }
    // A pty master reads EIO while the updater has its end closed.
    if (talked_) return false;
    if (!isPty_) {
      failed_ = true;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    return true;
  }

  bool Talked() const { return talked_; }
  bool Failed() const { return failed_; }

 private:
  void Schedule(SteadyClock::time_point from, const std::vector<CReplay::Answer>& answers) {
    for (const CReplay::Answer& a : answers) due_.emplace(from + a.delay, a.bytes);
  }

  void Take(const uint8_t* data, size_t count) {
    if (!talked_) {
      talked_ = true;
      Schedule(SteadyClock::now(), replay_.Opening());
    }
    for (size_t i = 0; i < count; ++i) {
      if (data[i] == 0xF0) messageStart_ = SteadyClock::now();
      const CPedalFramer::Heard heard = framer_.Push(data[i]);
      if (heard != CPedalFramer::Heard::Message && heard != CPedalFramer::Heard::Overlong) continue;
      const bool diverged = replay_.Diverged();
      const std::vector<uint8_t>& m = framer_.message();
      Schedule(messageStart_, replay_.OnUpdaterMessage(m.data(), m.size()));
      if (!diverged && replay_.Diverged()) {
        fprintf(stderr, "px550-sim: DIFFERENCE: %s\n", replay_.Difference().c_str());
        fflush(stderr);
      }
    }
  }

  void SendDue() {
    while (!due_.empty() && due_.begin()->first <= SteadyClock::now()) {
      Write(due_.begin()->second);
      due_.erase(due_.begin());
    }
  }

  void Write(const std::vector<uint8_t>& bytes) {
    const auto limit = SteadyClock::now() + kWriteLimit;
    size_t done = 0;
    while (done < bytes.size() && SteadyClock::now() < limit) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, kPollMs);
      } else {
        return;  // the other end is gone
      }
    }
  }

  int fd_;
  bool isPty_;
  CReplay& replay_;
  CPedalFramer framer_;
  SteadyClock::time_point messageStart_ = SteadyClock::now();
  std::multimap<SteadyClock::time_point, std::vector<uint8_t>> due_;
  bool talked_ = false;
  bool failed_ = false;
};

}  // namespace

int ServeReplay(int fd, bool isPty, CReplay& replay, const std::string& reportPath,
                const std::string& traceName, const std::function<bool()>& stop) {
  bool closed = false;
  bool failed = false;
  {
    CReplayLine line(fd, isPty, replay);
    while (!stop()) {
      if (!line.Turn()) {
        closed = line.Talked();
        failed = line.Failed();
        break;
      }
    }
  }
  close(fd);
  if (closed) replay.OnLineClosed();
  int status = replay.Complete() && !replay.Diverged() ? 0 : 1;
  if (reportPath == "-") {
    fputs(replay.ReportJson(traceName).c_str(), stdout);
    fflush(stdout);
  } else if (!reportPath.empty()) {
    std::ofstream out(reportPath, std::ios::binary | std::ios::trunc);
    out << replay.ReportJson(traceName);
    if (!out) {
      fprintf(stderr, "px550-sim: cannot write %s\n", reportPath.c_str());
      status = 3;
    }
  }
  fprintf(stderr, "px550-sim: %s\n", replay.Summary().c_str());
  return failed ? 3 : status;
}

}  // namespace px::sim
