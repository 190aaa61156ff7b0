// How close a whole update comes to the line's own limit: px550-update against px550-sim paced
// at a baud rate, with no device latency and an instant erase. Prints wall time, the line-time
// bound (the larger direction's bytes x 10 / baud), their ratio and the updater's CPU share.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
};

void StartPedal(Pair& p, unsigned baud, int index) {
  int fds[2];
  if (pipe(fds) != 0) return;
  p.report = "/tmp/px550-bench-" + std::to_string(getpid()) + "-" + std::to_string(index) + ".json";
  p.sim = Spawn({PX_SIM_EXE, "--pty", "--baud", std::to_string(baud), "--latency", "0",
                 "--erase-ms", "0", "--once", "--linger", "0", "--report", p.report},
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

void Finish(Pair& p, unsigned baud) {
  int status = 0;
  rusage use = {};
  wait4(p.update, &status, 0, &use);
  p.wall = std::chrono::duration<double>(Clock::now() - p.start).count();
  p.cpu = use.ru_utime.tv_sec + use.ru_stime.tv_sec +
          (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
  p.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  waitpid(p.sim, &status, 0);
  std::ifstream in(p.report);
  std::stringstream text;
  text << in.rdbuf();
  const long rx = JsonNumber(text.str(), "bytesReceived");
  const long tx = JsonNumber(text.str(), "bytesSent");
  p.bound = static_cast<double>(std::max(rx, tx)) * 10.0 / baud;
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

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 1;
  // The updater pauses 500 ms after UpdateStart, as the device expects; the last column leaves
  // that pause out of the comparison.
  constexpr double kPause = 0.5;
  printf("%-22s %9s %9s %7s %9s %14s\n", "run", "wall s", "bound s", "ratio", "cpu %",
         "ratio-pause");
  for (unsigned baud : {115200u, 921600u}) {
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) {
      Pair p = RunAtOnce(1, baud)[0];
      ratios.push_back(p.wall / p.bound);
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
      "20 updates @ 921600: median ratio %.3f, worst %.3f, updater cpu %.2f%% of wall, %d failed\n",
      ratios[ratios.size() / 2], ratios.back(), 100.0 * cpu / wall, failed);
  return failed ? 1 : 0;
}
