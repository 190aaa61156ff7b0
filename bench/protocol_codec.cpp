// Prints how long composing one full flash block takes: packing 12,288 bytes and their CRC.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "protocol/messages.h"

int main() {
  std::vector<uint8_t> block(12288);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  static px::CMessageSet set;
  std::vector<double> us;
  volatile int sink = 0;
  for (int round = 0; round < 21; ++round) {
    constexpr int kBlocks = 200;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBlocks; ++i) {
      sink = sink +
             static_cast<int>(set.RomWrite(block.data(), 0x000A0000 + i * 12288u, 12288).size());
    }
    const auto t1 = std::chrono::steady_clock::now();
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / kBlocks);
  }
  std::sort(us.begin(), us.end());
  const double median = us[us.size() / 2];
  printf(
      "RomWrite of 12,288 bytes (pack + CRC, 14,062-byte message): median %.2f us, best %.2f us, "
      "%.0f MB/s of raw data\n",
      median, us.front(), 12288.0 / median);
  return sink == 0;
}
