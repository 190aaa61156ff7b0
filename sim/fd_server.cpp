#include "sim/fd_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace px::sim {
namespace {

constexpr int kPollMs = 50;

std::string Errno(const std::string& what) {
  return what + ": " + strerror(errno);
}

bool SpeedOf(uint32_t baud, speed_t& speed) {
  static const struct {
    uint32_t baud;
    speed_t speed;
  } kSpeeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds) {
    if (s.baud == baud) {
      speed = s.speed;
      return true;
    }
  }
  return false;
}

bool MakeRaw(int fd, speed_t speed) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

int OpenPty(std::string& slavePath, std::string& error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    error = Errno("posix_openpt");
    return -1;
  }
  char name[256];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error = Errno("pseudo-terminal set-up");
    close(master);
    return -1;
  }
  // Raw on the slave side too, so that an updater that sets nothing still gets plain bytes.
  // The settings outlive this open: the master keeps the terminal alive.
  const int slave = open(name, O_RDWR | O_NOCTTY);
  if (slave < 0 || !MakeRaw(slave, B115200)) {
    error = Errno(std::string("raw mode on ") + name);
    if (slave >= 0) close(slave);
    close(master);
    return -1;
  }
  close(slave);
  MakeRaw(master, B115200);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  slavePath = name;
  return master;
}

int OpenSerialPort(const std::string& path, uint32_t baud, std::string& error) {
  speed_t speed;
  if (!SpeedOf(baud == 0 ? 115200 : baud, speed)) {
    error = "unsupported baud rate " + std::to_string(baud);
    return -1;
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = Errno("open " + path);
    return -1;
  }
  if (!MakeRaw(fd, speed)) {
    error = Errno("serial settings of " + path);
    close(fd);
    return -1;
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

CFdServer::CFdServer(int fd, const PedalConfig& config, bool isPty)
    : fd_(fd), isPty_(isPty), device_(config) {}

CFdServer::~CFdServer() {
  Stop();
}

void CFdServer::Start() {
  if (reader_.joinable()) return;
  device_.Start();
  reader_ = std::thread([this] { ReadLoop(); });
  writer_ = std::thread([this] { WriteLoop(); });
}

void CFdServer::Stop() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
  device_.Stop();
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

bool CFdServer::Finished(uint32_t lingerMs) const {
  if (device_.Disconnected() || closedAfterTalk_.load()) return true;
  const int64_t completeAt = device_.CompleteAnsweredAtMs();
  return completeAt >= 0 && device_.NowMs() >= static_cast<uint64_t>(completeAt) + lingerMs;
}

void CFdServer::HungUp() {
  if (!hungUp_.exchange(true) && talked_.load()) {
    device_.LineReset();
    device_.ToHost().Clear();
    closedAfterTalk_.store(true);
  }
}

void CFdServer::ReadLoop() {
  uint8_t buf[4096];
  while (!stop_.load() && !device_.Disconnected()) {
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, kPollMs);
    if (r <= 0) continue;
    if (p.revents & POLLIN) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        hungUp_.store(false);
        talked_.store(true);
        device_.ToPedal().Push(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    }
    if (p.revents & (POLLHUP | POLLERR | POLLIN)) {
      // The updater closed its end (a pty master reads EIO then), or the port went away: wait
      // for it to come back instead of spinning.
      HungUp();
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
  }
}

void CFdServer::WriteLoop() {
  uint8_t buf[4096];
  while (!stop_.load() && !device_.Disconnected()) {
    const size_t n = device_.ToHost().Pop(buf, sizeof buf, std::chrono::milliseconds(kPollMs));
    size_t done = 0;
    while (done < n && !stop_.load()) {
      if (hungUp_.load() && isPty_) break;  // nobody listens; a reopened port starts clean
      const ssize_t w = write(fd_, buf + done, n - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
        device_.ToHost().Left(static_cast<size_t>(w));
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, kPollMs);
      } else {
        break;  // EIO: the other end is gone; the answer is lost like on a dead line
      }
    }
    device_.ToHost().Left(n - done, false);
  }
}

}  // namespace px::sim
