#include "sim/harness.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace px::sim {

CPedalHarness::CPedalHarness(const PedalConfig& config) : device_(config), link_(device_) {
  device_.Start();
}

CPedalHarness::~CPedalHarness() {
  Stop();
}

void CPedalHarness::Stop() {
  device_.Stop();
}

bool CPedalHarness::SetExpectedImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  SetExpectedImage(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
  return true;
}

bool CPedalHarness::CHostLink::ReadByte(uint8_t& byte) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  if (device_.ToHost().Pop(&byte, 1, std::chrono::milliseconds(100)) == 1) {
    device_.ToHost().Left(1);  // in the updater's hands
    return true;
  }
  // A dead line still takes its time to say nothing, like a port that has gone away.
  std::this_thread::sleep_until(until);
  return false;
}

void CPedalHarness::CHostLink::Send(const uint8_t* data, int length) {
  if (length > 0) device_.ToPedal().Push(data, static_cast<size_t>(length));
}

}  // namespace px::sim
