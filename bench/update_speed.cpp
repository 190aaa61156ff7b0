// How close a whole update comes to the line's own limit: px550-update against px550-sim paced
// at a baud rate, with no device latency and an instant erase. Prints wall time, the line-time
// bound (the larger direction's bytes x 10 / baud), their ratio and the updater's CPU share.
// Then many pedals at 921,600 baud: 1, 5 and 20 in one updater process, and 20 updaters side by
// side; each pedal's wall time against the floor of its line (every byte both ways at that rate,
// plus the 500 ms pause after UpdateStart), and the updater's CPU per pedal.
// Usage: bench_update_speed [rounds] [--many]   (--many: only the many-pedals part)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& args, int outFd) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (outFd >= 0) dup2(outFd, 1);
    const int null = open("/dev/null", 0);
    dup2(null, 0);
    if (outFd < 0) dup2(open("/dev/null", 1), 1);
    dup2(open("/dev/null", 1), 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

long JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\"");
  if (at == std::string::npos) return -1;
  return atol(json.c_str() + json.find(':', at) + 1);
}

struct Pair {
  pid_t sim = -1;
  pid_t update = -1;
  int simOut = -1;
  std::string report;
  Clock::time_point start;
  double wall = 0;
  double cpu = 0;
  bool ok = false;
  double bound = 0;
  double floor = 0;  // both directions' bytes at the baud rate, plus the pause after UpdateStart
  std::string pty;
};

// The updater pauses 500 ms after UpdateStart, as the device expects.
constexpr double kPause = 0.5;

void StartPedal(Pair& p, unsigned baud, int index) {
  int fds[2];
  if (pipe(fds) != 0) return;
  p.report = "/tmp/px550-bench-" + std::to_string(getpid()) + "-" + std::to_string(index) + ".json";
  // The pedal goes when the updater closes the line: one that left right after UpdateComplete
  // (--linger 0) could go before its answer was out, and the updater would wait for it in vain.
  p.sim = Spawn({PX_SIM_EXE, "--pty", "--baud", std::to_string(baud), "--latency", "0",
                 "--erase-ms", "0", "--once", "--report", p.report},
                fds[1]);
  close(fds[1]);
  p.simOut = fds[0];
}

std::string ReadPty(Pair& p) {
  std::string line;
  char c;
  while (read(p.simOut, &c, 1) == 1 && c != '\n') line += c;
  close(p.simOut);
  return line;
}

double CpuSeconds(const rusage& use) {
  return use.ru_utime.tv_sec + use.ru_stime.tv_sec +
         (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Waits for the pedal and reads its report.
void FinishPedal(Pair& p, unsigned baud);

void Finish(Pair& p, unsigned baud) {
  int status = 0;
  rusage use = {};
  wait4(p.update, &status, 0, &use);
  p.wall = std::chrono::duration<double>(Clock::now() - p.start).count();
  p.cpu = CpuSeconds(use);
  p.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  FinishPedal(p, baud);
}

void FinishPedal(Pair& p, unsigned baud) {
  int status = 0;
  waitpid(p.sim, &status, 0);
  std::ifstream in(p.report);
  std::stringstream text;
  text << in.rdbuf();
  const long rx = JsonNumber(text.str(), "bytesReceived");
  const long tx = JsonNumber(text.str(), "bytesSent");
  p.bound = static_cast<double>(std::max(rx, tx)) * 10.0 / baud;
  p.floor = static_cast<double>(rx + tx) * 10.0 / baud + kPause;
  p.ok = p.ok && text.str().find("\"success\": true") != std::string::npos;
  unlink(p.report.c_str());
}

std::vector<Pair> RunAtOnce(int count, unsigned baud) {
  std::vector<Pair> pairs(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) StartPedal(pairs[i], baud, i);
  for (Pair& p : pairs) {
    const std::string pty = ReadPty(p);
    p.start = Clock::now();
    p.update = Spawn({PX_UPDATE_EXE, "flash", "--port", pty, "--yes", "--progress", "none"}, -1);
  }
  for (Pair& p : pairs) Finish(p, baud);
  return pairs;
}

// Many pedals, each on its own line at baud: in one updater process (together) or one process
// each. Every pedal's wall time runs from the updater's start to its completion.
struct Many {
  std::vector<Pair> pedals;
  double cpu = 0;  // all updater processes together
};

Many RunMany(int count, unsigned baud, bool together) {
  Many m;
  if (!together) {
    m.pedals = RunAtOnce(count, baud);
    for (const Pair& p : m.pedals) m.cpu += p.cpu;
    return m;
  }
  m.pedals.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) StartPedal(m.pedals[i], baud, i);
  std::vector<std::string> args = {PX_UPDATE_EXE, "flash", "--yes", "--progress", "json"};
  std::map<std::string, Pair*> byPort;
  for (Pair& p : m.pedals) {
    p.pty = ReadPty(p);
    byPort[p.pty] = &p;
    args.insert(args.end(), {"--port", p.pty});
  }
  int out[2];
  if (pipe(out) != 0) return m;
  const Clock::time_point start = Clock::now();
  const pid_t update = Spawn(args, out[1]);
  close(out[1]);
  // Each pedal's completion, timed as its line arrives.
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    const double now = std::chrono::duration<double>(Clock::now() - start).count();
    text.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = text.find('\n')) != std::string::npos; text.erase(0, nl + 1)) {
      const std::string line = text.substr(0, nl);
      if (line.find("\"event\":\"completed\"") == std::string::npos) continue;
      // With one pedal the output is that of a single update, without ports.
      auto it = byPort.begin();
      const size_t at = line.find("\"port\":\"");
      if (at != std::string::npos) {
        const size_t from = at + 8;
        it = byPort.find(line.substr(from, line.find('"', from) - from));
      }
      if (it != byPort.end()) {
        it->second->wall = now;
        it->second->ok = true;
      }
    }
  }
  close(out[0]);
  int status = 0;
  rusage use = {};
  wait4(update, &status, 0, &use);
  m.cpu = CpuSeconds(use);
  for (Pair& p : m.pedals) FinishPedal(p, baud);
  return m;
}

void PrintMany(const char* how, int count, unsigned baud, const Many& m) {
  std::vector<double> ratios;
  double worstWall = 0;
  double floor = 0;
  int failed = 0;
  for (const Pair& p : m.pedals) {
    ratios.push_back(p.wall / p.floor);
    worstWall = std::max(worstWall, p.wall);
    floor = std::max(floor, p.floor);
    failed += !p.ok;
  }
  std::sort(ratios.begin(), ratios.end());
  printf("%-34s %9.2f %9.2f %8.3f %8.3f %10.3f %9.2f%%%s\n",
         (std::to_string(count) + " pedals @ " + std::to_string(baud) + ", " + how).c_str(),
         worstWall, floor, ratios[ratios.size() / 2], ratios.back(), m.cpu / count,
         100.0 * m.cpu / count / worstWall,
         failed ? ("  " + std::to_string(failed) + " FAILED").c_str() : "");
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 1;
  bool manyOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--many") == 0) {
      manyOnly = true;
    } else {
      rounds = atoi(argv[i]);
    }
  }
  int failedRuns = 0;
  if (!manyOnly) {
    // The last column leaves the pause after UpdateStart out of the comparison.
    printf("%-22s %9s %9s %7s %9s %14s\n", "run", "wall s", "bound s", "ratio", "cpu %",
           "ratio-pause");
    for (unsigned baud : {115200u, 921600u}) {
      for (int r = 0; r < rounds; ++r) {
        Pair p = RunAtOnce(1, baud)[0];
        failedRuns += !p.ok;
        printf("%-22s %9.2f %9.2f %7.3f %8.2f%% %14.3f%s\n",
               ("1 update @ " + std::to_string(baud)).c_str(), p.wall, p.bound, p.wall / p.bound,
               100.0 * p.cpu / p.wall, (p.wall - kPause) / p.bound, p.ok ? "" : "  FAILED");
      }
    }
    const std::vector<Pair> many = RunAtOnce(20, 921600);
    std::vector<double> ratios;
    double cpu = 0, wall = 0;
    int failed = 0;
    for (const Pair& p : many) {
      ratios.push_back(p.wall / p.bound);
      cpu += p.cpu;
      wall += p.wall;
      failed += !p.ok;
    }
    std::sort(ratios.begin(), ratios.end());
    printf(
        "20 updates @ 921600: median ratio %.3f, worst %.3f, updater cpu %.2f%% of wall, %d "
        "failed\n\n",
        ratios[ratios.size() / 2], ratios.back(), 100.0 * cpu / wall, failed);
    failedRuns += failed;
  }

  // Floor: every byte both ways at the line's rate plus the pause; ratios are wall / floor.
  printf("%-34s %9s %9s %8s %8s %10s %10s\n", "many pedals", "worst s", "floor s", "median",
         "worst", "cpu s/ped", "cpu/ped %");
  for (int r = 0; r < rounds; ++r) {
    for (int count : {1, 5, 20}) {
      const Many m = RunMany(count, 921600, true);
      PrintMany("one process", count, 921600, m);
      for (const Pair& p : m.pedals) failedRuns += !p.ok;
    }
    const Many separate = RunMany(20, 921600, false);
    PrintMany("20 processes", 20, 921600, separate);
    for (const Pair& p : separate.pedals) failedRuns += !p.ok;
  }
  return failedRuns ? 1 : 0;
}
