#include "cli/terminal_ui.h"

#include <algorithm>
#include <cinttypes>
#include <nlohmann/json.hpp>

namespace px::cli {

namespace {

// The system's own incoming port is marked as such: it never leads to a pedal.
const char* BluetoothColumn(const PortEntry& port) {
  if (port.incoming) return "incoming";
  return port.bluetooth ? "yes" : "no";
}

bool IsSending(UpdateStep step) {
  return step == UpdateStep::FileWrite || step == UpdateStep::Write;
}

}  // namespace

std::string PortListText(const std::vector<PortEntry>& ports, int chosen, bool terminal) {
  struct Row {
    std::string mark, port, description, bluetooth;
  };
  std::vector<Row> rows;
  if (terminal) rows.push_back({"", "PORT", "DESCRIPTION", "BLUETOOTH"});
  for (size_t i = 0; i < ports.size(); ++i) {
    rows.push_back({static_cast<int>(i) == chosen ? "*" : "", ports[i].name, ports[i].description,
                    BluetoothColumn(ports[i])});
  }
  size_t portWidth = 0;
  size_t descriptionWidth = 0;
  for (const Row& r : rows) {
    portWidth = std::max(portWidth, r.port.size());
    descriptionWidth = std::max(descriptionWidth, r.description.size());
  }
  std::string text;
  for (const Row& r : rows) {
    if (!terminal) {
      text += r.mark + "\t" + r.port + "\t" + r.description + "\t" + r.bluetooth + "\n";
      continue;
    }
    std::string line = (r.mark.empty() ? " " : r.mark) + "  " + r.port;
    line.append(portWidth - r.port.size() + 2, ' ');
    line += r.description;
    line.append(descriptionWidth - r.description.size() + 2, ' ');
    text += line + r.bluetooth + "\n";
  }
  return text;
}

std::string HintLine(const std::string& hint) {
  return hint.empty() ? "" : "Hint: " + hint;
}

CProgressBoard::CProgressBoard(FILE* err, size_t rows, size_t width)
    : err_(err), width_(width), lines_(rows) {}

void CProgressBoard::SetLine(size_t row, const std::string& text, bool urgent) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row >= lines_.size() || lines_[row] == text) return;
  lines_[row] = text;
  pending_ = true;
  const auto now = std::chrono::steady_clock::now();
  if (urgent || !drawn_ || now - lastDraw_ >= std::chrono::milliseconds(100)) DrawLocked();
}

void CProgressBoard::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_) DrawLocked();
  drawn_ = false;
}

void CProgressBoard::DrawLocked() {
  std::string frame;
  // Back to the first line of the block drawn last time, then every line anew.
  if (drawn_) frame += "\x1b[" + std::to_string(lines_.size()) + "A";
  for (const std::string& line : lines_) {
    frame += "\r\x1b[K";
    frame += width_ > 1 && line.size() >= width_ ? line.substr(0, width_ - 1) : line;
    frame += '\n';
  }
  fputs(frame.c_str(), err_);
  fflush(err_);
  drawn_ = true;
  pending_ = false;
  lastDraw_ = std::chrono::steady_clock::now();
}

CTerminalUi::CTerminalUi(FILE* out, FILE* err, TerminalLane lane)
    : out_(out), err_(err), lane_(std::move(lane)) {}

std::string CTerminalUi::Tag() const {
  return lane_.port.empty() ? "" : lane_.port + ": ";
}

void CTerminalUi::PutOnBoard(const std::string& text, bool urgent) {
  std::string port = lane_.port;
  if (port.size() < lane_.portWidth) port.append(lane_.portWidth - port.size(), ' ');
  lane_.board->SetLine(lane_.row, port + "  " + text, urgent);
}

void CTerminalUi::HoldErrors(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  holdErrors_ = hold;
}

void CTerminalUi::SetBoardLine(const std::string& text) {
  if (lane_.board != nullptr) PutOnBoard(text, true);
}

void CTerminalUi::Note(const std::string& text) {
  if (lane_.board != nullptr) return;  // the summary gives it
  std::lock_guard<std::mutex> lock(mutex_);
  EndLineLocked();
  fprintf(err_, "%s%s\n", Tag().c_str(), text.c_str());
  fflush(err_);
}

void CTerminalUi::ShowError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastError_ = text;
  if (holdErrors_) return;
  if (lane_.board != nullptr) return PutOnBoard(text, true);
  ShowErrorLocked(text);
}

void CTerminalUi::ShowErrorLocked(const std::string& text) {
  EndLineLocked();
  fprintf(err_, "%sError: %s\n", Tag().c_str(), text.c_str());
  fflush(err_);
}

void CTerminalUi::ShowCompletion(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lane_.board != nullptr) return PutOnBoard(text, true);
  ShowCompletionLocked(text);
}

void CTerminalUi::ShowCompletionLocked(const std::string& text) {
  EndLineLocked();
  fprintf(out_, "%s%s\n", Tag().c_str(), text.c_str());
  fflush(out_);
}

void CTerminalUi::SetProgressPosition(int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (percent == percent_ && percent != 0) return;
  percent_ = percent;
  ShowPositionLocked();
}

void CTerminalUi::SetEraseLimitMs(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  eraseLimitMs_ = ms;
}

void CTerminalUi::OnStep(UpdateStep step) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastStep_ = step;
  step_ = StepName(step);
  ShowStepLocked(step);
}

void CTerminalUi::OnTransfer(uint64_t bytesDone, uint64_t bytesTotal) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytesDone_ = bytesDone;
  bytesTotal_ = bytesTotal;
  ShowTransferLocked();
}

void CTerminalUi::Result(const char* status, int exitCode, const std::string& hint) {
  std::lock_guard<std::mutex> lock(mutex_);
  EndLineLocked();
  ShowResultLocked(status, exitCode, hint);
}

void CTerminalUi::ShowResultLocked(const char*, int, const std::string& hint) {
  if (!hint.empty() && lane_.port.empty()) {
    // With several pedals the summary gives the hints.
    fprintf(err_, "%s\n", HintLine(hint).c_str());
    fflush(err_);
  }
}

namespace {

// --progress plain: every step, and the position at every tenth.
class CPlainView final : public CTerminalUi {
 public:
  using CTerminalUi::CTerminalUi;

 private:
  void ShowStepLocked(UpdateStep) override {
    fprintf(out_, "%sstep: %s\n", Tag().c_str(), step_);
    fflush(out_);
  }
  void ShowPositionLocked() override {
    const int decile = percent_ / 10;
    if (decile == lastDecile_) return;
    lastDecile_ = decile;
    if (bytesTotal_ > 0) {
      fprintf(out_, "%s%3d%%  %" PRIu64 " of %" PRIu64 " bytes\n", Tag().c_str(), decile * 10,
              bytesDone_, bytesTotal_);
    } else {
      fprintf(out_, "%s%3d%%\n", Tag().c_str(), decile * 10);
    }
    fflush(out_);
  }

  int lastDecile_ = -1;
};

// --progress json: one object a line for every step, position, error, the completion and the
// end.
class CJsonView final : public CTerminalUi {
 public:
  using CTerminalUi::CTerminalUi;

 private:
  void ShowStepLocked(UpdateStep) override { Emit("step", {{"step", step_}}); }
  void ShowPositionLocked() override {
    Emit("progress", {{"percent", percent_}, {"bytes", bytesDone_}, {"total", bytesTotal_}});
  }
  void ShowErrorLocked(const std::string& text) override {
    Emit("error", {{"message", text}});
    CTerminalUi::ShowErrorLocked(text);
  }
  void ShowCompletionLocked(const std::string& text) override {
    Emit("completed", {{"message", text}});
  }
  void ShowResultLocked(const char* status, int exitCode, const std::string& hint) override {
    Emit("result",
         {{"status", status}, {"exit", exitCode}, {"message", lastError_}, {"hint", hint}});
  }

  // One event as one line of JSON: the port first (with several pedals), then "event", then the
  // event's own fields in their order. Text that is not UTF-8 is carried with replacement marks.
  void Emit(const char* event, const nlohmann::ordered_json& fields) {
    nlohmann::ordered_json object;
    if (!lane_.port.empty()) object["port"] = lane_.port;
    object["event"] = event;
    for (const auto& field : fields.items()) object[field.key()] = field.value();
    const std::string line =
        object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    fprintf(out_, "%s\n", line.c_str());
    fflush(out_);
  }
};

// --progress bar: one line redrawn in place, or the lane's row on the board of several pedals.
class CBarView final : public CTerminalUi {
 public:
  using CTerminalUi::CTerminalUi;

 private:
  void ShowStepLocked(UpdateStep step) override {
    const auto now = std::chrono::steady_clock::now();
    if (sending_) sentFor_ += now - sendingSince_;
    sending_ = IsSending(step);
    sendingSince_ = now;
    identified_ = identified_ || step != UpdateStep::Identify;
    Draw();
  }
  // Measured when bytes are confirmed, so that a redraw between two confirmations does not
  // count the wait for the next one as time without bytes.
  void ShowTransferLocked() override {
    const double secs = SendingSeconds();
    if (secs > 0.05) rate_ = static_cast<double>(bytesDone_) / secs;
    Draw();
  }
  void ShowPositionLocked() override { Draw(); }
  void EndLineLocked() override {
    if (!drawn_) return;
    fputc('\n', err_);
    fflush(err_);
    drawn_ = false;
  }

  void Draw();
  std::string Meter(int barWidth) const;
  std::string RateAndTimeLeft() const;
  double SendingSeconds() const;

  bool drawn_ = false;
  // No bar until the pedal is identified: before that there is nothing to measure.
  bool identified_ = false;
  // The rate counts only the time spent sending (file and flash writes), never the erase.
  std::chrono::steady_clock::duration sentFor_{};
  std::chrono::steady_clock::time_point sendingSince_{};
  bool sending_ = false;
  double rate_ = 0;  // bytes a second, as last measured
};

double CBarView::SendingSeconds() const {
  auto sent = sentFor_;
  if (sending_) sent += std::chrono::steady_clock::now() - sendingSince_;
  return std::chrono::duration<double>(sent).count();
}

// The rate measured while sending and the time the bytes still to send take at it; during the
// erase, how long it may take instead.
std::string CBarView::RateAndTimeLeft() const {
  char text[64];
  if (lastStep_ == UpdateStep::Erase) {
    snprintf(text, sizeof text, "erasing the flash, up to %u s", (eraseLimitMs_ + 999) / 1000);
    return eraseLimitMs_ > 0 ? text : "erasing the flash";
  }
  const double rate = rate_;
  char eta[32] = "--:--";
  if (rate > 0 && bytesTotal_ >= bytesDone_) {
    const auto left = static_cast<long>(static_cast<double>(bytesTotal_ - bytesDone_) / rate);
    snprintf(eta, sizeof eta, "%ld:%02ld", left / 60, left % 60);
  }
  snprintf(text, sizeof text, "%6.1f kB/s  ETA %s", rate / 1000.0, eta);
  return text;
}

// The bar, the percentage, the bytes (alone on the line) and the rate with the time left.
std::string CBarView::Meter(int barWidth) const {
  const int filled = percent_ * barWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(barWidth - filled), '.');
  const std::string rate = RateAndTimeLeft();
  char text[192];
  if (lane_.board == nullptr) {
    char bytes[48] = "";
    if (bytesTotal_ > 0) {
      snprintf(bytes, sizeof bytes, "%7" PRIu64 "/%" PRIu64 " bytes  ", bytesDone_, bytesTotal_);
    }
    snprintf(text, sizeof text, "[%s] %3d%%  %s%s ", bar.c_str(), percent_, bytes, rate.c_str());
  } else {
    snprintf(text, sizeof text, "%-12s [%s] %3d%%  %s", step_, bar.c_str(), percent_, rate.c_str());
  }
  return text;
}

void CBarView::Draw() {
  if (!identified_) return;
  if (lane_.board != nullptr) return PutOnBoard(Meter(20), false);
  // Cleared to the end: the erase's line is longer than the rate's.
  fprintf(err_, "\r%s\x1b[K", Meter(30).c_str());
  fflush(err_);
  drawn_ = true;
}

}  // namespace

std::unique_ptr<CTerminalUi> MakeTerminalUi(ProgressMode mode, FILE* out, FILE* err,
                                            TerminalLane lane) {
  switch (mode) {
    case ProgressMode::Bar:
      return std::make_unique<CBarView>(out, err, std::move(lane));
    case ProgressMode::Plain:
      return std::make_unique<CPlainView>(out, err, std::move(lane));
    case ProgressMode::Json:
      return std::make_unique<CJsonView>(out, err, std::move(lane));
    case ProgressMode::None:
      break;
  }
  return std::make_unique<CTerminalUi>(out, err, std::move(lane));
}

}  // namespace px::cli
