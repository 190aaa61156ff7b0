#include "serial/port_discovery.h"
#include "serial_link_cases.h"

namespace px::test {
namespace {

TEST_F(SerialLinkTest, OpensByNumberAndByEitherFormOfName) {
  std::string name = peer_->PortName();
  ASSERT_TRUE(link_.Open(ComPortNumber(name), kBaud)) << link_.LastOpenError();
  link_.Close();
  ASSERT_TRUE(link_.Open("\\\\.\\" + name, kBaud)) << link_.LastOpenError();
  link_.Close();
  EXPECT_FALSE(link_.Open(-1, kBaud)) << "no port chosen";

  // The engine's view of the same link.
  IPortLink& port = link_;
  ASSERT_TRUE(port.Open(name, kBaud)) << port.LastOpenError();
  uint8_t hello[] = {0xF0, 0x7E, 0xF7};
  port.Send(hello, 3);
  EXPECT_EQ(peer_->Read(3, 2000), std::vector<uint8_t>(hello, hello + 3));
}

}  // namespace
}  // namespace px::test
