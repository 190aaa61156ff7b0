#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "engine/update_runner.h"

namespace px::test {

// Records what the engine shows.
class RecordingUi : public IRunWatcher {
 public:
  void OnFailure(const UpdateFailure& failure) override {
    const std::string& text = failure.text;
    std::lock_guard<std::mutex> lock(mutex_);
    errors.push_back(text);
    events.push_back("error:" + text);
  }
  void OnCompleted(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    completions.push_back(text);
    events.push_back("done:" + text);
  }
  void OnPosition(int percent) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (positions.empty() || positions.back() != percent) positions.push_back(percent);
  }
  void OnRunStarted() override {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled = false;
    events.push_back("disable");
  }
  void OnRunReleased() override {
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
