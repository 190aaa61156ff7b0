// The Windows link's runs under Wine: the runners, the COM port links, and the pedal's side.
#include "wine_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "run_lines.h"
#include "sim/fd_server.h"

extern char** environ;

namespace px::chaos {
namespace {

using Clock = std::chrono::steady_clock;

// Held while a descriptor that children must not inherit exists without FD_CLOEXEC, and while
// children are spawned: a pedal's pty master kept open by another run's child would keep that
// line up after the pedal closed it.
std::mutex g_spawnMutex;

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::string Errno(const std::string& what) {
  return what + ": " + strerror(errno);
}

// A session of its own that takes the pty as its controlling terminal, so that the wineserver
// (which opens the COM ports) never takes it and is not hung up when the pedal closes it.
class CPtyOwner {
 public:
  bool Start(const std::string& slave, int master, std::string& error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, slave.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The sleep only bounds the owner's life should this process die without ending it.
    char* argv[] = {const_cast<char*>("setsid"), const_cast<char*>("-c"),
                    const_cast<char*>("sleep"), const_cast<char*>("3600"), nullptr};
    int rc;
    {
      std::lock_guard<std::mutex> lock(g_spawnMutex);
      rc = posix_spawnp(&pid_, "setsid", &actions, nullptr, argv, environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = -1;
      error = std::string("setsid: ") + strerror(rc);
      return false;
    }
    // Until the owner's session has the terminal, Wine must not open it.
    const Clock::time_point t0 = Clock::now();
    while (tcgetsid(master) != pid_) {
      if (MsSince(t0) > 10000 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
        error = "no session took " + slave + " as its terminal";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  ~CPtyOwner() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace

CWineRuns::CWineRuns(const WineOptions& wine, const RunOptions& run) : wine_(wine), run_(run) {}

CWineRuns::~CWineRuns() {
  Stop();
}

bool CWineRuns::Spawn(Runner& r, std::string& error) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    error = Errno("pipe");
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = Errno("pipe");
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>("wine"), const_cast<char*>(wine_.runner.c_str()), nullptr};
  int rc;
  {
    std::lock_guard<std::mutex> lock(g_spawnMutex);
    rc = posix_spawnp(&r.pid, "wine", &actions, nullptr, argv, environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    r.pid = -1;
    error = std::string("wine: ") + strerror(rc);
    return false;
  }
  r.toRunner = in[1];
  r.fromRunner = out[0];
  r.pending.clear();
  // Wine's start-up: a fresh runner says "ready" once it reads requests.
  std::string line;
  if (!ReadLine(
          r, 120000, [] {}, line, error)) {
    error = "the Windows runner did not start: " + error;
    End(r);
    return false;
  }
  if (line != "ready") {
    error = "the Windows runner began with \"" + line + "\"";
    End(r);
    return false;
  }
  return true;
}

void CWineRuns::End(Runner& r) {
  if (r.toRunner >= 0) close(r.toRunner);
  r.toRunner = -1;
  if (r.pid > 0) {
    // An empty input ends the runner; a runner that does not end within 10 s is killed.
    const Clock::time_point t0 = Clock::now();
    while (waitpid(r.pid, nullptr, WNOHANG) == 0) {
      if (MsSince(t0) > 10000) {
        kill(r.pid, SIGKILL);
        waitpid(r.pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  r.pid = -1;
  if (r.fromRunner >= 0) close(r.fromRunner);
  r.fromRunner = -1;
}

template <typename Tick>
bool CWineRuns::ReadLine(Runner& r, double deadlineMs, Tick tick, std::string& line,
                         std::string& error) {
  const Clock::time_point t0 = Clock::now();
  for (;;) {
    const size_t eol = r.pending.find('\n');
    if (eol != std::string::npos) {
      line = r.pending.substr(0, eol);
      r.pending.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (MsSince(t0) > deadlineMs) {
      error = "no answer within " + std::to_string(static_cast<long>(deadlineMs)) + " ms";
      return false;
    }
    tick();
    pollfd p{r.fromRunner, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[65536];
    const ssize_t n = read(r.fromRunner, buf, sizeof buf);
    if (n > 0) {
      r.pending.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      error = "the Windows runner ended";
      return false;
    }
  }
}

std::string CWineRuns::PortLink(size_t job) const {
  return dosdevices_ + "/com" + std::to_string(wine_.firstPort + static_cast<int>(job));
}

bool CWineRuns::Start(std::string& error) {
  const char* prefix = getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') {
    error = "WINEPREFIX is not set (scripts/chaos-windows.sh sets one up)";
    return false;
  }
  dosdevices_ = std::string(prefix) + "/dosdevices";
  struct stat st {};
  if (stat(dosdevices_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "no Wine prefix at " + std::string(prefix) + " (run wineboot -i first)";
    return false;
  }
  if (access(wine_.runner.c_str(), R_OK) != 0) {
    error = Errno(wine_.runner);
    return false;
  }
  // A runner killed by SIGPIPE would take this process with it.
  signal(SIGPIPE, SIG_IGN);
  runners_.resize(static_cast<size_t>(std::max(wine_.jobs, 1)));
  for (Runner& r : runners_) {
    if (!Spawn(r, error)) return false;
  }
  return true;
}

void CWineRuns::Stop() {
  for (Runner& r : runners_) End(r);
  for (size_t j = 0; j < runners_.size(); ++j) unlink(PortLink(j).c_str());
  runners_.clear();
}

RunResult CWineRuns::Play(const Mix& mix, size_t job) {
  RunResult unplayed = Unplayed(mix, run_);
  if (job >= runners_.size()) {
    unplayed.violations.push_back("no Windows runner for job " + std::to_string(job));
    return unplayed;
  }
  Runner& runner = runners_[job];
  std::string error;
  if (runner.pid <= 0 && !Spawn(runner, error)) {
    unplayed.violations.push_back(error);
    return unplayed;
  }

  const Clock::time_point t0 = Clock::now();
  sim::PedalConfig config = mix.pedal;
  if (run_.trace) {
    config.trace = [t0](const std::string& line) {
      fprintf(stderr, "%9.1f pedal %s\n", MsSince(t0), line.c_str());
    };
  }
  std::string slave;
  int master;
  {
    std::lock_guard<std::mutex> lock(g_spawnMutex);
    master = sim::OpenPty(slave, error);
    if (master >= 0) fcntl(master, F_SETFD, FD_CLOEXEC);
  }
  if (master < 0) {
    unplayed.violations.push_back("no pseudo-terminal: " + error);
    return unplayed;
  }
  auto server = std::make_unique<sim::CFdServer>(master, config, true);
  CPtyOwner owner;
  if (!owner.Start(slave, master, error)) {
    unplayed.violations.push_back(error);
    return unplayed;
  }
  // The port's link, replaced in one step: Wine reads it when the runner opens COMn.
  const std::string link = PortLink(job);
  const std::string staged = link + ".new";
  unlink(staged.c_str());
  if (symlink(slave.c_str(), staged.c_str()) != 0 || rename(staged.c_str(), link.c_str()) != 0) {
    unplayed.violations.push_back(Errno("linking " + link));
    return unplayed;
  }
  server->Start();

  RunRequest request;
  request.run = UpdaterRunOf(mix, run_);
  request.port = "COM" + std::to_string(wine_.firstPort + static_cast<int>(job));
  request.trace = run_.trace;
  const std::string line = EncodeRequest(request) + "\n";
  bool sent = true;
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = write(runner.toRunner, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sent = false;
      break;
    }
    done += static_cast<size_t>(n);
  }

  // The line going down is the pedal's port going away: its master closes, as a Bluetooth link
  // drops or an adapter is pulled out, and the Windows link's reads fail.
  bool closedByFault = false;
  auto watchLine = [&] {
    if (!closedByFault && server->Device().Disconnected()) {
      closedByFault = true;
      server->Stop();
    }
  };
  std::string answer;
  RunReply reply;
  const double deadline = 2 * request.run.worstCaseMs + 60000;
  if (!sent) {
    error = Errno("writing to the Windows runner");
  } else if (ReadLine(runner, deadline, watchLine, answer, error) &&
             DecodeReply(answer, reply, error)) {
    if (reply.seed != mix.seed) error = "the Windows runner answered for another seed";
    if (error.empty() && !reply.error.empty()) error = "the Windows runner: " + reply.error;
  } else if (error.empty()) {
    error = "the Windows runner's reply";
  }
  server->Stop();
  const sim::PedalReport report = server->Report();
  if (!error.empty()) {
    End(runner);  // started afresh for the next run
    unplayed.violations.push_back(error);
    return unplayed;
  }
  if (report.disconnected) {
    ++linesDown_;
    lineFailuresSeen_ += reply.lineFailed;
  } else {
    ++linesUp_;
    falseLineFailures_ += reply.lineFailed;
  }
  return Judge(mix, run_, reply.shown, report);
}

}  // namespace px::chaos
