#pragma once
#include <cstdint>

namespace px {

// The line's speed: the port is always opened at this rate.
inline constexpr uint32_t kBaudRate = 115200;

// Every time of the update, in milliseconds. The programs use the defaults; tests scale them.
struct EngineTiming {
  uint32_t replyWaitMs = 5000;
  uint32_t updateStartPauseMs = 500;
  uint32_t resendPauseMs = 100;
  uint32_t semaphorePauseMs = 50;
  uint32_t abortSleepMs = 200;
  // The erase waits size / eraseBytesPerMs + eraseExtraMs for its answer.
  uint32_t eraseBytesPerMs = 33;
  uint32_t eraseExtraMs = 1000;
  // Before the file transfer and the flash transfer are trusted, the engine listens for the time
  // the last request takes on the line at lineBaud plus settleMarginMs: an answer that comes then
  // shows that the answers went out of step. The margin covers the device's own time to answer a
  // block and the Bluetooth link's latency.
  uint32_t settleMarginMs = 200;
  uint32_t lineBaud = kBaudRate;
};

// How long the erase of `size` bytes waits for its answer.
constexpr uint32_t EraseWaitMs(const EngineTiming& t, uint32_t size) {
  return size / t.eraseBytesPerMs + t.eraseExtraMs;
}

// The time a message of `bytes` takes on a line of `baud` (ten bits a byte), rounded up.
constexpr uint32_t LineMs(uint64_t bytes, uint32_t baud) {
  return baud == 0 ? 0 : static_cast<uint32_t>((bytes * 10 * 1000 + baud - 1) / baud);
}

}  // namespace px
