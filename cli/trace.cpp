#include "cli/trace.h"

#include "protocol/describe.h"

namespace px::cli {

void CTraceTap::OnMessage(Direction direction, const uint8_t* data, size_t length) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string name =
      DescribeMessage(data, length, direction == Direction::Out ? Sender::Updater : Sender::Device);
  const std::string hex = HexBytes(data, length);
  // One call writes the whole line: stdio keeps lines from several pedals whole.
  fprintf(file_, "%12.6f %s%s %-5zu %s | %s\n", t, port_.c_str(),
          direction == Direction::Out ? "->" : "<-", length, name.c_str(), hex.c_str());
  fflush(file_);
}

void CTraceTap::OnSurplus(const uint8_t* data, size_t length) {
  Note("surplus answer, nothing was asked for it: " +
       DescribeMessage(data, length, Sender::Device));
}

void CTraceTap::Note(const std::string& text) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  fprintf(file_, "%12.6f %s!! %s\n", t, port_.c_str(), text.c_str());
  fflush(file_);
}

}  // namespace px::cli
