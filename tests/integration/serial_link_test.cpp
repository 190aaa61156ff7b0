#include <cerrno>
#include <cstring>

#include "serial_link_cases.h"

namespace px::test {
namespace {

// A rate that a tty cannot be asked for: the port used to open at whatever rate it had.
TEST_F(SerialLinkTest, ARateTheLineCannotTakeDoesNotOpen) {
  EXPECT_FALSE(link_.Open(peer_->PortName(), 12345));
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_EQ(link_.LastOpenError(), EINVAL);
  const std::string why = link_.LastOpenErrorText();
  EXPECT_EQ(why, peer_->PortName() +
                     " refused 12345 baud, 8N1, no flow control: " + std::strerror(EINVAL));
  // A pty has no modem lines and says so; that alone does not stop the port from opening.
  OpenLink();
}

}  // namespace
}  // namespace px::test
