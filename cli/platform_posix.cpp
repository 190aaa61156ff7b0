#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>

#include "cli/platform.h"
#include "serial/port_discovery.h"

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

extern char** environ;

namespace px::cli {
namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const unsigned char b = static_cast<unsigned char>(sig);
  const int saved = errno;
  [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &b, 1);
  errno = saved;
}

std::string SelfDirectory() {
  char path[PATH_MAX] = {};
#ifdef __APPLE__
  uint32_t size = sizeof path;
  if (_NSGetExecutablePath(path, &size) != 0) return ".";
#else
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = 0;
#endif
  std::string p(path);
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string FindSimulator() {
  if (const char* env = getenv("PX550_SIM"); env != nullptr && *env) return env;
  const std::string dir = SelfDirectory();
  for (const std::string& candidate : {dir + "/px550-sim", dir + "/../sim/px550-sim"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "px550-sim";  // from PATH
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

CSimulator::~CSimulator() {
  Stop();
}

namespace {

// Runs the virtual pedal with its standard output on `outFd`. Everything is prepared here, so the
// child does nothing between its start and exec. Its own process group, so that Ctrl-C reaches
// only the updater, which then stops it. Returns posix_spawnp's result.
int SpawnPedal(std::vector<std::string> args, bool verbose, int outFd, pid_t& pid) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  // The pedal's own lines (its summary, its trace) only when asked for.
  if (!verbose) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

// The first line on `fd`, within ten seconds; false when it does not come whole.
bool ReadFirstLine(int fd, std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p = {fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c;
    if (read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
    line += c;
  }
}

// Reads and drops what comes on `fd` until its end of file, for at most ms; true at the end.
bool WaitForEndOfFile(int fd, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (fd < 0 || left <= 0) return false;
    pollfd p = {fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char drop[256];
    const ssize_t n = read(fd, drop, sizeof drop);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
}

}  // namespace

bool CSimulator::Start(const std::vector<std::string>& extraArgs, bool verbose,
                       std::string& ptyPath, std::string& error) {
  int out[2];
  if (pipe(out) != 0) {
    error = strerror(errno);
    return false;
  }
  // Neither end may leak into another child (the other virtual pedals).
  fcntl(out[0], F_SETFD, FD_CLOEXEC);
  fcntl(out[1], F_SETFD, FD_CLOEXEC);
  const std::string program = FindSimulator();
  std::vector<std::string> args = {program, "--pty"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  pid_t pid = -1;
  const int rc = SpawnPedal(std::move(args), verbose, out[1], pid);
  close(out[1]);
  if (rc != 0) {
    error = "cannot run " + program + ": " + strerror(rc);
    close(out[0]);
    return false;
  }
  pid_ = pid;
  // The first line is the pty's path.
  std::string line;
  const bool read = ReadFirstLine(out[0], line);
  exitFd_ = out[0];
  if (read && !line.empty()) {
    ptyPath = line;
    return true;
  }
  error = "the virtual pedal did not start (" + program + ")";
  Stop();
  return false;
}

int CSimulator::Stop() {
  if (pid_ <= 0) return -1;
  const pid_t pid = static_cast<pid_t>(pid_);
  pid_ = -1;
  // It ends by itself after a finished update; otherwise ask it to write its report and go.
  bool ended = WaitForEndOfFile(exitFd_, 500);
  if (!ended) {
    kill(pid, SIGTERM);
    ended = WaitForEndOfFile(exitFd_, 5000);
  }
  close(exitFd_);
  exitFd_ = -1;
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !ended) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    if (c == '\n') return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
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

std::string TempPath(const std::string& stem) {
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return "";
  close(fd);
  return path;
}

}  // namespace px::cli
