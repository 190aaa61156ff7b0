#include "cli/trace.h"

#include "protocol/describe.h"

namespace px::cli {

void CTraceTap::OnMessage(Direction direction, const uint8_t* data, size_t length) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string name =
      DescribeMessage(data, length, direction == Direction::Out ? Sender::Updater : Sender::Device);
  const std::string hex = HexBytes(data, length);
  std::lock_guard<std::mutex> lock(mutex_);
  fprintf(file_, "%12.6f %s %-5zu %s | %s\n", t, direction == Direction::Out ? "->" : "<-", length,
          name.c_str(), hex.c_str());
  fflush(file_);
}

void CTraceTap::OnSurplus(const uint8_t* data, size_t length) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string name = DescribeMessage(data, length, Sender::Device);
  std::lock_guard<std::mutex> lock(mutex_);
  fprintf(file_, "%12.6f !! surplus answer, nothing was asked for it: %s\n", t, name.c_str());
  fflush(file_);
}

}  // namespace px::cli
