// The port backend for POSIX systems (Linux, macOS): a tty opened by path.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "serial/port_backend.h"
#include "serial/port_discovery.h"
#include "serial/port_discovery_names.h"

namespace px::serial_detail {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadTimeoutMs = 110;
// A bound RFCOMM port (Linux) connects in the background after open and refuses writes until
// then.
constexpr int kNotConnectedGraceMs = 2000;
constexpr int kNotConnectedRetryMs = 50;

speed_t SpeedOf(uint32_t baud, bool& known) {
  struct Rate {
    uint32_t baud;
    speed_t speed;
  };
  static constexpr Rate kRates[] = {
      {1200, B1200},       {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
      {38400, B38400},     {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B921600
      {921600, B921600},
#endif
#ifdef B1000000
      {1000000, B1000000},
#endif
#ifdef B2000000
      {2000000, B2000000},
#endif
  };
  known = true;
  for (const Rate& r : kRates) {
    if (r.baud == baud) return r.speed;
  }
  // Where speed constants are the rates themselves (macOS, BSD), any rate can be asked for.
  if constexpr (B115200 == 115200) return static_cast<speed_t>(baud);
  known = false;
  return B115200;
}

// False when the rate is not one the system can ask a tty for.
bool MakeRaw8N1(termios& t, uint32_t baud) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  bool known = false;
  const speed_t speed = SpeedOf(baud, known);
  return known && cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0;
}

// tcsetattr succeeds when any part of a change took, so the line is read back: the rate, 8N1
// and no hardware flow control must all be as asked.
bool LineIsAsAsked(const termios& now, const termios& asked) {
  tcflag_t frame = CSIZE | PARENB | CSTOPB;
#ifdef CRTSCTS
  frame |= CRTSCTS;
#endif
  // An input rate of 0 means "the output rate".
  const speed_t in = cfgetispeed(&now);
  return (now.c_cflag & frame) == (asked.c_cflag & frame) &&
         cfgetospeed(&now) == cfgetospeed(&asked) && (in == cfgetispeed(&asked) || in == 0);
}

int MsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// A file descriptor, closed with its owner.
class CUniqueFd {
 public:
  explicit CUniqueFd(int fd = -1) : fd_(fd) {}
  CUniqueFd(CUniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  CUniqueFd& operator=(CUniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~CUniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

class CPosixPort final : public CPortBackend {
 public:
  CPosixPort(CUniqueFd fd, CUniqueFd wakeRead, CUniqueFd wakeWrite, bool exactQueue)
      : fd_(std::move(fd)),
        wakeRead_(std::move(wakeRead)),
        wakeWrite_(std::move(wakeWrite)),
        exactQueue_(exactQueue) {}

  ~CPosixPort() override {
#ifdef TIOCNXCL
    ioctl(fd_.Get(), TIOCNXCL);
#endif
  }

  bool StartReading() override {
    return true;
  }

  ReadResult ReadOne(uint8_t& byte) override {
    // Try first: in a burst the next byte is already there and the poll can be skipped.
    ssize_t n = read(fd_.Get(), &byte, 1);
    if (n == 1) return ReadResult::kByte;
    if (n == 0 || !WouldBlock()) return ReadResult::kFailed;
    pollfd fds[2] = {{fd_.Get(), POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}};
    int rc = poll(fds, 2, kReadTimeoutMs);
    if (rc < 0) return errno == EINTR ? ReadResult::kNothing : ReadResult::kFailed;
    if (rc == 0 || fds[1].revents != 0) return ReadResult::kNothing;
    n = read(fd_.Get(), &byte, 1);
    if (n == 1) return ReadResult::kByte;
    // A hung-up tty (the peer is gone) reports end of file or EIO here.
    if (n == 0 || !WouldBlock()) return ReadResult::kFailed;
    // Readable, yet nothing came: the next poll may say the same at once.
    return ReadResult::kNothingAtOnce;
  }

  void StopReading() override {}

  void Pause(uint32_t ms) override {
    pollfd wake = {wakeRead_.Get(), POLLIN, 0};
    poll(&wake, 1, static_cast<int>(ms));
  }

  bool PrepareWrite() override {
    return true;
  }

  bool Write(const uint8_t* data, uint32_t size) override {
    Clock::time_point start = Clock::now();
    Clock::time_point deadline = start + std::chrono::milliseconds(10 * uint64_t{size} + 1000);
    Clock::time_point connectGrace = start + std::chrono::milliseconds(kNotConnectedGraceMs);
    uint32_t done = 0;
    while (done < size) {
      ssize_t n = write(fd_.Get(), data + done, size - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == ENOTCONN && waitsForConnect_ && Clock::now() < connectGrace) {
        if (WaitWake(kNotConnectedRetryMs)) return false;
        continue;
      }
      if (n == 0 || !WouldBlock()) return false;
      pollfd fds[2] = {{fd_.Get(), POLLOUT, 0}, {wakeRead_.Get(), POLLIN, 0}};
      int left = MsUntil(deadline);
      if (left == 0) return false;
      int rc = poll(fds, 2, left);
      if (rc < 0 && errno != EINTR) return false;
      if (fds[1].revents != 0) return false;
    }
    return true;
  }

  uint32_t OutputQueued() const override {
    if (!exactQueue_) return 0;
    int queued = 0;
    if (ioctl(fd_.Get(), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<uint32_t>(queued);
  }

  void Interrupt() override {
    uint8_t mark = 1;
    ssize_t ignored = write(wakeWrite_.Get(), &mark, 1);
    (void)ignored;
  }

 private:
  static bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }

  // True when woken by Interrupt within ms.
  bool WaitWake(int ms) {
    pollfd wake = {wakeRead_.Get(), POLLIN, 0};
    return poll(&wake, 1, ms) > 0;
  }

  CUniqueFd fd_;
  CUniqueFd wakeRead_;
  CUniqueFd wakeWrite_;
  const bool exactQueue_;
  const bool waitsForConnect_ = ThisPortSystem() == PortSystem::kLinux;
};

bool MakeWakePipe(CUniqueFd& readEnd, CUniqueFd& writeEnd) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  readEnd = CUniqueFd(fds[0]);
  writeEnd = CUniqueFd(fds[1]);
  for (int fd : fds) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return true;
}

// Linux numbers its rfcomm ttys with their own major, whatever they are named.
bool IsBluetoothTtyDevice(dev_t device) {
#if defined(__linux__)
  constexpr unsigned kRfcommTtyMajor = 216;
  return major(device) == kRfcommTtyMajor;
#else
  (void)device;
  return false;
#endif
}

}  // namespace

bool DevicePathOfNumber(int, std::string& path) {
  path.clear();
  return false;
}

// "rfcomm0" is taken as /dev/rfcomm0.
std::string DevicePathOfName(const std::string& portName) {
  if (portName.empty() || portName.find('/') != std::string::npos) return portName;
  return "/dev/" + portName;
}

int NoSuchPortError() {
  return ENOENT;
}

std::string SystemErrorText(int code) {
  return std::strerror(code);
}

// Whether the driver's output-queue figure says how many bytes have not left the host. A UART's
// or a USB adapter's does. A Bluetooth tty's does not: Linux's rfcomm reports its whole MTU
// whenever anything is queued, and a figure that says more is queued than really is makes a
// genuine answer look as if it began before its request left. There the link counts only what
// it handed to the driver.
bool OutputQueueIsExact(int fd, const std::string& devicePath) {
  if (devicePath.find("rfcomm") != std::string::npos ||
      devicePath.find("Bluetooth") != std::string::npos) {
    return false;
  }
  // Where ports are named after their devices, a paired Bluetooth device's port is named as the
  // port list tells it apart.
  if (ThisPortSystem() == PortSystem::kMac) {
    const size_t slash = devicePath.rfind('/');
    PortEntry port;
    if (PortOfDeviceName(devicePath.substr(slash + 1), DeviceNaming::kMac,
                         devicePath.substr(0, slash == std::string::npos ? 0 : slash), port) &&
        port.bluetooth) {
      return false;
    }
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return !IsBluetoothTtyDevice(st.st_rdev);
}

std::unique_ptr<CPortBackend> OpenPortBackend(const std::string& devicePath, uint32_t baudRate,
                                              OpenFailure& failure, std::vector<RefusedCall>&) {
  auto fail = [&failure](OpenStep step, int code) {
    failure = {step, code};
    return nullptr;
  };
  // Non-blocking, so that opening never waits for carrier and no read or write can hang.
  CUniqueFd fd(open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return fail(OpenStep::kOpen, errno);
  if (!isatty(fd.Get())) return fail(OpenStep::kNotSerial, ENOTTY);
  // Refuse a port that another program holds, and keep others out while we hold it.
  if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    return fail(OpenStep::kHeld, errno == EWOULDBLOCK ? EBUSY : errno);
  }
  ioctl(fd.Get(), TIOCEXCL);

  termios asked{};
  if (tcgetattr(fd.Get(), &asked) != 0) return fail(OpenStep::kLineSettings, errno);
  if (!MakeRaw8N1(asked, baudRate)) return fail(OpenStep::kLineSettings, EINVAL);
  if (tcsetattr(fd.Get(), TCSANOW, &asked) != 0) return fail(OpenStep::kLineSettings, errno);
  termios now{};
  if (tcgetattr(fd.Get(), &now) != 0) return fail(OpenStep::kLineSettings, errno);
  if (!LineIsAsAsked(now, asked)) return fail(OpenStep::kLineSettings, EINVAL);

  // Many adapters and Bluetooth bridges hold the line until DTR and RTS are up. Ptys and some
  // virtual ports have no modem lines and say so (ENOTTY, EINVAL); any other refusal is a port
  // that does not work.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd.Get(), TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
    return fail(OpenStep::kModemLines, errno);
  }

  CUniqueFd wakeRead, wakeWrite;
  if (!MakeWakePipe(wakeRead, wakeWrite)) return fail(OpenStep::kOpen, errno);
  const bool exactQueue = OutputQueueIsExact(fd.Get(), devicePath);
  return std::make_unique<CPosixPort>(std::move(fd), std::move(wakeRead), std::move(wakeWrite),
                                      exactQueue);
}

}  // namespace px::serial_detail
