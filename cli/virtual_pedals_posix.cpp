#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>

#include "cli/virtual_pedals.h"

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

extern char** environ;

namespace px::cli {
namespace {

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

CSimulator::~CSimulator() {
  Stop();
}

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

std::string TempPath(const std::string& stem) {
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return "";
  close(fd);
  return path;
}

}  // namespace px::cli
