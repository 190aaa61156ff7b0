#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/byte_link.h"
#include "sim/pedal_config.h"
#include "sim/pedal_device.h"
#include "sim/pedal_report.h"

// The virtual pedal in the same process as the updater: HostLink is the updater's end of the
// line. Used by the engine's tests, which run the real engine against it with scaled time.
namespace px::sim {

class CPedalHarness {
 public:
  explicit CPedalHarness(const PedalConfig& config);
  ~CPedalHarness();
  CPedalHarness(const CPedalHarness&) = delete;
  CPedalHarness& operator=(const CPedalHarness&) = delete;

  // ReadByte waits at most 100 ms for the pedal's next byte; Send puts the updater's bytes on
  // the line (paced when the configuration gives a baud rate). After a disconnect nothing is
  // delivered either way.
  IByteLink& HostLink() { return link_; }
  // Stops the pedal and joins its thread; idempotent. HostLink stays callable afterwards.
  void Stop();
  PedalReport Report() const { return device_.Report(); }
  std::string ReportJson() const { return device_.ReportJson(); }
  void SetExpectedImage(std::vector<uint8_t> image) { device_.SetExpectedImage(std::move(image)); }
  // The same from a file; false when it cannot be read.
  bool SetExpectedImageFile(const std::string& path);
  CPedalDevice& Device() { return device_; }

 private:
  class CHostLink : public IByteLink {
   public:
    explicit CHostLink(CPedalDevice& device) : device_(device) {}
    bool ReadByte(uint8_t& byte) override;
    void Send(const uint8_t* data, int length) override;

   private:
    CPedalDevice& device_;
  };

  CPedalDevice device_;
  CHostLink link_;
};

// The in-process pedal as the engine's port: opening always succeeds, closing does nothing.
class CHarnessPort : public IPortLink {
 public:
  explicit CHarnessPort(CPedalHarness& h) : h_(h) {}
  bool ReadByte(uint8_t& byte) override { return h_.HostLink().ReadByte(byte); }
  void Send(const uint8_t* data, int length) override { h_.HostLink().Send(data, length); }
  bool Open(int, uint32_t) override { return true; }
  bool Open(const std::string&, uint32_t) override { return true; }
  void Close() override {}
  int LastOpenError() const override { return 0; }

 private:
  CPedalHarness& h_;
};

}  // namespace px::sim
