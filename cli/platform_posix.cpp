#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/platform.h"
#include "serial/port_discovery.h"

namespace px::cli {
namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const unsigned char b = static_cast<unsigned char>(sig);
  const int saved = errno;
  [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &b, 1);
  errno = saved;
}

}  // namespace

CInterruptWatch::CInterruptWatch(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
  if (gSignalPipe[0] < 0 && pipe(gSignalPipe) == 0) {
    fcntl(gSignalPipe[1], F_SETFL, O_NONBLOCK);
    fcntl(gSignalPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(gSignalPipe[1], F_SETFD, FD_CLOEXEC);
  }
  if (gSignalPipe[0] < 0) return;  // no pipe: the signals keep their default, nothing watches
  int interrupted[2] = {-1, -1};
  if (pipe(interrupted) == 0) {
    fcntl(interrupted[0], F_SETFD, FD_CLOEXEC);
    fcntl(interrupted[1], F_SETFD, FD_CLOEXEC);
    interruptedSignal_[0] = interrupted[0];
    interruptedSignal_[1] = interrupted[1];
  }
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // The pipe carries the signal's number, or 0 when a watch ends (an earlier watch's 0 is
  // passed over).
  watcher_ = std::thread([this] {
    for (;;) {
      pollfd p = {gSignalPipe[0], POLLIN, 0};
      if (poll(&p, 1, -1) <= 0) continue;
      unsigned char b = 0;
      if (read(gSignalPipe[0], &b, 1) != 1) continue;
      if (b == 0) {
        if (stop_.load()) return;
        continue;
      }
      if (stop_.load() || interrupted_.exchange(true)) continue;
      if (interruptedSignal_[1] >= 0) {
        const unsigned char mark = 1;
        [[maybe_unused]] ssize_t n = write(static_cast<int>(interruptedSignal_[1]), &mark, 1);
      }
      onInterrupt_();
    }
  });
}

CInterruptWatch::~CInterruptWatch() {
  stop_ = true;
  if (watcher_.joinable()) {
    const unsigned char end = 0;
    [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &end, 1);
    watcher_.join();
  }
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  for (intptr_t fd : interruptedSignal_) {
    if (fd >= 0) close(static_cast<int>(fd));
  }
}

// Without its pipe the watch cannot wake a wait; the signals then keep their default, which ends
// the program anyway.
bool CInterruptWatch::WaitForInput() const {
  pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {static_cast<int>(interruptedSignal_[0]), POLLIN, 0}};
  const nfds_t count = interruptedSignal_[0] >= 0 ? 2 : 1;
  for (;;) {
    if (interrupted_.load()) return false;
    const int ready = poll(p, count, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (count == 2 && p[1].revents != 0)) return false;
    return true;
  }
}

bool ListFixturePorts(const std::string& sysRoot, const std::string& devRoot,
                      std::vector<PortEntry>& ports) {
  ports = ListPortsUnder(sysRoot, devRoot);
  return true;
}

bool IsTerminal(FILE* file) {
  return isatty(fileno(file)) == 1;
}

size_t PrepareTerminal(FILE* file) {
  winsize size = {};
  if (ioctl(fileno(file), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool AskYesNo(const std::string& question, const CInterruptWatch& interrupt) {
  fprintf(stderr, "%s [y/N] ", question.c_str());
  fflush(stderr);
  std::string answer;
  while (interrupt.WaitForInput()) {
    char c;
    if (read(STDIN_FILENO, &c, 1) != 1) return false;
    if (c == '\n') return IsYes(answer);
    answer += c;
  }
  fputc('\n', stderr);
  return false;
}

HintCause OpenErrorCause(int error) {
  const PortSystem system = ThisPortSystem();
  if (error == EACCES || error == EPERM) {
    if (system == PortSystem::kLinux) return HintCause::kPermissionDialout;
    return system == PortSystem::kBsd ? HintCause::kPermissionDialer : HintCause::kPermission;
  }
  if (error == EBUSY || error == EAGAIN || error == EWOULDBLOCK) return HintCause::kBusy;
  if (error == ENOENT || error == ENODEV || error == ENXIO) {
    return system == PortSystem::kLinux ? HintCause::kMissingRfcomm : HintCause::kMissing;
  }
  // A bound RFCOMM port refuses to open while its Bluetooth connection cannot be made.
  const bool rfcommDown = error == ENOTCONN || error == EHOSTDOWN || error == EHOSTUNREACH ||
                          error == ECONNREFUSED || error == ETIMEDOUT;
  if (rfcommDown && system == PortSystem::kLinux) return HintCause::kNotConnected;
  return HintCause::kNone;
}

}  // namespace px::cli
