#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "engine/update_engine.h"

namespace px::test {

// Records what the engine shows.
class RecordingUi : public IUpdateUi {
 public:
  void ShowError(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors.push_back(text);
    events.push_back("error:" + text);
  }
  void ShowCompletion(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    completions.push_back(text);
    events.push_back("done:" + text);
  }
  void SetProgressPosition(int percent) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (positions.empty() || positions.back() != percent) positions.push_back(percent);
  }
  void DisableControls() override {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled = false;
    events.push_back("disable");
  }
  void EnableControls() override {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled = true;
    events.push_back("enable");
  }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors;
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events;
  }
  std::vector<int> Positions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return positions;
  }
  bool Enabled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled;
  }
  std::vector<std::string> Completions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> errors;
  std::vector<std::string> completions;
  std::vector<std::string> events;
  std::vector<int> positions;
  bool enabled = true;
};

}  // namespace px::test
