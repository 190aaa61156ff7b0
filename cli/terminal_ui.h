#pragma once
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/update_engine.h"

namespace px::cli {

enum class ProgressMode { Bar, Plain, Json, None };

// Shows the engine's boxes and progress on a terminal or in a pipe.
class CTerminalUi : public IUpdateUi {
 public:
  CTerminalUi(ProgressMode mode, FILE* out, FILE* err);

  void ShowError(const std::string& text) override;
  void ShowCompletion(const std::string& text) override;
  void SetProgressPosition(int percent) override;
  void DisableControls() override {}
  void EnableControls() override {}
  void OnStep(UpdateStep step) override;
  void OnTransfer(uint64_t bytesDone, uint64_t bytesTotal) override;
  bool ConfirmStart(uint8_t deviceId, uint8_t variant) override;

  // Asked before the first change on the device; the default goes on.
  void SetConfirm(std::function<bool(uint8_t deviceId, uint8_t variant)> confirm) {
    confirm_ = std::move(confirm);
  }
  // The final line of a json run.
  void Result(const char* status, int exitCode);
  const std::string& LastError() const { return lastError_; }

 private:
  void DrawBar();
  void EndBar();
  static std::string JsonString(const std::string& s);

  ProgressMode mode_;
  FILE* out_;
  FILE* err_;
  std::mutex mutex_;
  int percent_ = 0;
  int lastPlainDecile_ = -1;
  bool barDrawn_ = false;
  uint64_t bytesDone_ = 0;
  uint64_t bytesTotal_ = 0;
  std::chrono::steady_clock::time_point transferStart_{};
  bool transferStarted_ = false;
  std::string lastError_;
  std::function<bool(uint8_t, uint8_t)> confirm_;
};

}  // namespace px::cli
