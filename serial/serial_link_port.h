#pragma once
#include "base/byte_link.h"
#include "serial/serial_link.h"

namespace px {

// CSerialLink as the engine's port link.
class CSerialLinkPort final : public IPortLink {
 public:
  bool ReadByte(uint8_t& byte) override { return link_.ReadByte(byte); }
  void Send(const uint8_t* data, int length) override { link_.Send(data, length); }
  bool Open(int portNumber, uint32_t baudRate) override { return link_.Open(portNumber, baudRate); }
  bool Open(const std::string& portName, uint32_t baudRate) override {
    return link_.Open(portName, baudRate);
  }
  void Close() override { link_.Close(); }
  int LastOpenError() const override { return link_.LastOpenError(); }

  bool IsOpen() const { return link_.IsOpen(); }

 private:
  CSerialLink link_;
};

}  // namespace px
