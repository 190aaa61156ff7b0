// Figures for the serial link over a pty: how long a 7-byte reply takes from the moment the far
// end writes it to its last byte leaving ReadByte, what an idle open link costs in CPU, and what
// a link whose port vanished costs and how long its Close takes.
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "serial/serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);

  px::CSerialLink link;
  if (!link.Open(name, 115200)) {
    std::fprintf(stderr, "cannot open %s: error %d\n", name, link.LastOpenError());
    return 1;
  }
  const uint8_t reply[7] = {0xF0, 0x52, 0x00, 0x5E, 0x00, 0x00, 0xF7};
  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    // Let the reader settle into its wait, as between a request and its answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto start = Clock::now();
    if (write(master, reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) return 1;
    uint8_t byte = 0;
    for (int got = 0; got < 7;) {
      if (link.ReadByte(byte)) ++got;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf(
      "round trip of a 7-byte reply over a pty (%d rounds): median %.1f us, p99 %.1f us, "
      "max %.1f us\n",
      rounds, micros[micros.size() / 2], micros[micros.size() * 99 / 100], micros.back());

  double cpu = CpuSeconds();
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("idle open link: %.3f s CPU in %.1f s = %.3f %% of a core\n", CpuSeconds() - cpu,
              wall, 100.0 * (CpuSeconds() - cpu) / wall);

  // The far end goes away under the open link, as when a Bluetooth connection drops.
  close(master);
  cpu = CpuSeconds();
  start = Clock::now();
  const uint8_t request[6] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  link.Send(request, sizeof request);
  uint8_t byte = 0;
  while (Clock::now() - start < std::chrono::seconds(idleSeconds)) link.ReadByte(byte);
  wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("vanished port, caller polling ReadByte: %.3f s CPU in %.1f s = %.3f %% of a core\n",
              CpuSeconds() - cpu, wall, 100.0 * (CpuSeconds() - cpu) / wall);
  start = Clock::now();
  link.Close();
  std::printf("Close of a link whose port vanished: %.1f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  start = Clock::now();
  link.Close();
  std::printf("Close of a closed link: %.3f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  close(slave);
  return 0;
}
