#include "cli/terminal_ui.h"

#include <cinttypes>

namespace px::cli {

CTerminalUi::CTerminalUi(ProgressMode mode, FILE* out, FILE* err)
    : mode_(mode), out_(out), err_(err) {}

std::string CTerminalUi::JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void CTerminalUi::EndBar() {
  if (barDrawn_) {
    fputc('\n', err_);
    fflush(err_);
    barDrawn_ = false;
  }
}

void CTerminalUi::ShowError(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastError_ = text;
  EndBar();
  if (mode_ == ProgressMode::Json) {
    fprintf(out_, "{\"event\":\"error\",\"message\":%s}\n", JsonString(text).c_str());
    fflush(out_);
  }
  fprintf(err_, "Error: %s\n", text.c_str());
  fflush(err_);
}

void CTerminalUi::ShowCompletion(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  EndBar();
  if (mode_ == ProgressMode::Json) {
    fprintf(out_, "{\"event\":\"completed\",\"message\":%s}\n", JsonString(text).c_str());
  } else {
    fprintf(out_, "%s\n", text.c_str());
  }
  fflush(out_);
}

void CTerminalUi::SetProgressPosition(int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (percent == percent_ && percent != 0) return;
  percent_ = percent;
  switch (mode_) {
    case ProgressMode::Bar:
      DrawBar();
      break;
    case ProgressMode::Plain: {
      const int decile = percent / 10;
      if (decile != lastPlainDecile_) {
        lastPlainDecile_ = decile;
        if (bytesTotal_ > 0) {
          fprintf(out_, "%3d%%  %" PRIu64 " of %" PRIu64 " bytes\n", decile * 10, bytesDone_,
                  bytesTotal_);
        } else {
          fprintf(out_, "%3d%%\n", decile * 10);
        }
        fflush(out_);
      }
      break;
    }
    case ProgressMode::Json:
      fprintf(out_,
              "{\"event\":\"progress\",\"percent\":%d,\"bytes\":%" PRIu64 ",\"total\":%" PRIu64
              "}\n",
              percent, bytesDone_, bytesTotal_);
      fflush(out_);
      break;
    case ProgressMode::None:
      break;
  }
}

void CTerminalUi::OnStep(UpdateStep step) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_ == ProgressMode::Json) {
    fprintf(out_, "{\"event\":\"step\",\"step\":\"%s\"}\n", StepName(step));
    fflush(out_);
  } else if (mode_ == ProgressMode::Plain) {
    fprintf(out_, "step: %s\n", StepName(step));
    fflush(out_);
  }
  if ((step == UpdateStep::FileWrite || step == UpdateStep::Write) && !transferStarted_) {
    transferStarted_ = true;
    transferStart_ = std::chrono::steady_clock::now();
  }
}

void CTerminalUi::OnTransfer(uint64_t bytesDone, uint64_t bytesTotal) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytesDone_ = bytesDone;
  bytesTotal_ = bytesTotal;
  if (mode_ == ProgressMode::Bar) DrawBar();
}

void CTerminalUi::DrawBar() {
  constexpr int kWidth = 30;
  const int filled = percent_ * kWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kWidth - filled), '.');
  double rate = 0;
  if (transferStarted_) {
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - transferStart_).count();
    if (secs > 0.05) rate = static_cast<double>(bytesDone_) / secs;
  }
  char eta[32] = "--:--";
  if (rate > 0 && bytesTotal_ >= bytesDone_) {
    const auto left = static_cast<long>((bytesTotal_ - bytesDone_) / rate);
    snprintf(eta, sizeof eta, "%ld:%02ld", left / 60, left % 60);
  }
  fprintf(err_, "\r[%s] %3d%%  %7" PRIu64 "/%" PRIu64 " bytes  %6.1f kB/s  ETA %s ", bar.c_str(),
          percent_, bytesDone_, bytesTotal_, rate / 1000.0, eta);
  fflush(err_);
  barDrawn_ = true;
}

bool CTerminalUi::ConfirmStart(uint8_t deviceId, uint8_t variant) {
  if (!confirm_) return true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EndBar();
  }
  return confirm_(deviceId, variant);
}

void CTerminalUi::Result(const char* status, int exitCode) {
  std::lock_guard<std::mutex> lock(mutex_);
  EndBar();
  if (mode_ == ProgressMode::Json) {
    fprintf(out_, "{\"event\":\"result\",\"status\":\"%s\",\"exit\":%d,\"message\":%s}\n", status,
            exitCode, JsonString(lastError_).c_str());
    fflush(out_);
  }
}

}  // namespace px::cli
