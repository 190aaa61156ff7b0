// The far end of a link under test, natively: the master side of a pty.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "serial_link_peer.h"

namespace px::test {

namespace {

using Clock = std::chrono::steady_clock;

class PtyPeer final : public LinkPeer {
 public:
  PtyPeer() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    name_ = name;
    // Raw from the start, so nothing the peer writes before the link opens is echoed back.
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPeer() override {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  std::string PortName() const override { return name_; }
  std::string MissingPortName() const override { return "/dev/px-no-such-port"; }
  std::string NotASerialPortName() override { return "/dev/null"; }

  void Write(const std::vector<uint8_t>& bytes) override {
    for (size_t done = 0; done < bytes.size();) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p = {master_, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  std::vector<uint8_t> Read(size_t count, int timeoutMs, int bytesPerSecond, int delayMs) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    std::vector<uint8_t> bytes;
    auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(timeoutMs);
    uint8_t buffer[4096];
    while (bytes.size() < count && Clock::now() < deadline) {
      size_t want = std::min(sizeof buffer, count - bytes.size());
      if (bytesPerSecond > 0) {
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        auto allowed = static_cast<size_t>(seconds * bytesPerSecond);
        if (allowed <= bytes.size()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          continue;
        }
        want = std::min(want, allowed - bytes.size());
      }
      ssize_t n = read(master_, buffer, want);
      if (n > 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
      } else {
        pollfd p = {master_, POLLIN, 0};
        poll(&p, 1, 10);
      }
    }
    return bytes;
  }

  size_t Fill() override {
    int fd = dup(slave_);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t total = 0;
    uint8_t junk[256];
    std::fill(std::begin(junk), std::end(junk), kJunk);
    // The tty moves bytes on in the background, so room can appear a little after a refusal.
    for (int refusals = 0; refusals < 3;) {
      ssize_t n = write(fd, junk, refusals == 0 ? sizeof junk : 1);
      if (n > 0) {
        total += static_cast<size_t>(n);
        refusals = 0;
      } else {
        ++refusals;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    close(fd);
    return total;
  }

  void HangUp() override {
    close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

}  // namespace

std::unique_ptr<LinkPeer> MakeLinkPeer() {
  return std::make_unique<PtyPeer>();
}
int CountThreads() {
  return CountEntries("/proc/self/task");
}
int CountHandles() {
  return CountEntries("/proc/self/fd");
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace px::test
