// How close a whole update comes to the line's own limit: px550-update against px550-sim paced
// at a baud rate, with no device latency and an instant erase. Prints wall time, the line-time
// bound (the larger direction's bytes x 10 / baud), their ratio and the updater's CPU share.
// Then many pedals at 921,600 baud: 1, 5 and 20 in one updater process, and 20 updaters side by
// side; each pedal's wall time against the floor of its line (every byte both ways at that rate,
// plus the 500 ms pause after UpdateStart), and the updater's CPU per pedal.
// Usage: bench_update_speed [rounds] [--many] [--updater LABEL=PATH]...
//   --many: only the many-pedals part. --updater (repeatable) compares other builds of
//   px550-update with this one in the same run, rounds interleaved; medians over the rounds.
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

// The updaters compared: a label and a program.
struct Updater {
  std::string label;
  std::string exe;
};

std::vector<Pair> RunAtOnce(const Updater& updater, int count, unsigned baud) {
  std::vector<Pair> pairs(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) StartPedal(pairs[i], baud, i);
  for (Pair& p : pairs) {
    const std::string pty = ReadPty(p);
    p.start = Clock::now();
    p.update = Spawn({updater.exe, "flash", "--port", pty, "--yes", "--progress", "none"}, -1);
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

Many RunMany(const Updater& updater, int count, unsigned baud, bool together) {
  Many m;
  if (!together) {
    m.pedals = RunAtOnce(updater, count, baud);
    for (const Pair& p : m.pedals) m.cpu += p.cpu;
    return m;
  }
  m.pedals.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) StartPedal(m.pedals[i], baud, i);
  std::vector<std::string> args = {updater.exe, "flash", "--yes", "--progress", "json"};
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// One row per updater and case: the median over the rounds of each figure.
struct Row {
  std::vector<double> wall, floor, median, worst, cpu;
  int failed = 0;
};

void AddMany(Row& row, const Many& m, int count) {
  std::vector<double> ratios;
  double worstWall = 0;
  double floor = 0;
  for (const Pair& p : m.pedals) {
    ratios.push_back(p.wall / p.floor);
    worstWall = std::max(worstWall, p.wall);
    floor = std::max(floor, p.floor);
    row.failed += !p.ok;
  }
  std::sort(ratios.begin(), ratios.end());
  row.wall.push_back(worstWall);
  row.floor.push_back(floor);
  row.median.push_back(ratios[ratios.size() / 2]);
  row.worst.push_back(ratios.back());
  row.cpu.push_back(m.cpu / count);
}

void PrintRow(const std::string& what, const Row& row) {
  printf("%-46s %8.2f %8.2f %8.3f %8.3f %9.3f%s\n", what.c_str(), Median(row.wall),
         Median(row.floor), Median(row.median), Median(row.worst), Median(row.cpu),
         row.failed ? ("  " + std::to_string(row.failed) + " FAILED").c_str() : "");
}

struct Case {
  std::string name;
  int count;
  unsigned baud;
  bool together;
};

}  // namespace

int main(int argc, char** argv) {
  int rounds = 1;
  bool manyOnly = false;
  std::vector<Updater> updaters = {{"this build", PX_UPDATE_EXE}};
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--many") == 0) {
      manyOnly = true;
    } else if (strcmp(argv[i], "--updater") == 0 && i + 1 < argc) {
      const std::string arg = argv[++i];
      const size_t eq = arg.find('=');
      if (eq == std::string::npos) {
        fprintf(stderr, "--updater takes LABEL=PATH\n");
        return 2;
      }
      updaters.push_back({arg.substr(0, eq), arg.substr(eq + 1)});
    } else {
      rounds = atoi(argv[i]);
    }
  }
  // Every case against the floor of its line: every byte both ways at that rate, plus the
  // 500 ms pause after UpdateStart. Ratios are wall / floor; the worst is the slowest pedal.
  std::vector<Case> cases;
  if (!manyOnly) {
    cases.push_back({"1 pedal @ 115200", 1, 115200, false});
    cases.push_back({"1 pedal @ 921600", 1, 921600, false});
  }
  for (int count : {1, 5, 20}) {
    cases.push_back({std::to_string(count) + " pedals @ 921600, one process", count, 921600, true});
  }
  cases.push_back({"20 pedals @ 921600, 20 processes", 20, 921600, false});

  printf("%-46s %8s %8s %8s %8s %9s\n", "case (updater)", "worst s", "floor s", "median", "worst",
         "cpu s/ped");
  int failedRuns = 0;
  for (const Case& c : cases) {
    std::vector<Row> rows(updaters.size());
    for (int r = 0; r < rounds; ++r) {
      for (size_t u = 0; u < updaters.size(); ++u) {
        AddMany(rows[u], RunMany(updaters[u], c.count, c.baud, c.together), c.count);
      }
    }
    for (size_t u = 0; u < updaters.size(); ++u) {
      PrintRow(c.name + " (" + updaters[u].label + ")", rows[u]);
      failedRuns += rows[u].failed;
    }
    fflush(stdout);
  }
  return failedRuns ? 1 : 0;
}
