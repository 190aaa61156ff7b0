// A native library for LD_PRELOAD under Wine that makes one COM port slow to open, as a
// Bluetooth port is while its radio connection is made. Wine reads a port's settings with
// tcgetattr in the opening program's own thread (GetCommState, inside CSerialLink::Open), so a
// pause in the first tcgetattr on that tty stalls the opening thread alone. The wineserver is
// left alone: a pause there would stall every Wine program.
//
//   PX_SLOW_TTY        the tty (a pty's /dev/pts/N) whose first tcgetattr pauses
//   PX_SLOW_OPEN_MS    how long, in ms
//   PX_SLOW_OPEN_MARK  a path: "<path>.begun" is made when the pause starts, "<path>.over" when
//                      it ends, so that a test can wait for either
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> paused{false};

bool IsTheSlowTty(int fd) {
  const char* tty = std::getenv("PX_SLOW_TTY");
  if (tty == nullptr || *tty == '\0') return false;
  struct stat wanted {};
  struct stat given {};
  if (stat(tty, &wanted) != 0 || fstat(fd, &given) != 0) return false;
  return S_ISCHR(given.st_mode) && given.st_rdev == wanted.st_rdev;
}

void Mark(const char* suffix) {
  const char* mark = std::getenv("PX_SLOW_OPEN_MARK");
  if (mark == nullptr || *mark == '\0') return;
  const std::string path = std::string(mark) + suffix;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

void Pause() {
  const char* ms = std::getenv("PX_SLOW_OPEN_MS");
  const long total = ms != nullptr ? std::strtol(ms, nullptr, 10) : 0;
  timespec left{total / 1000, (total % 1000) * 1000000L};
  Mark(".begun");
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  Mark(".over");
}

}  // namespace

extern "C" int tcgetattr(int fd, struct termios* settings) {
  using Real = int (*)(int, struct termios*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcgetattr"));
  if (std::strcmp(program_invocation_short_name, "wineserver") != 0 && IsTheSlowTty(fd) &&
      !paused.exchange(true)) {
    const int saved = errno;
    Pause();
    errno = saved;
  }
  return real(fd, settings);
}
