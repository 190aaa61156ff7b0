#pragma once
#include "serial/serial_link.h"

namespace px {

// CSerialLink is the engine's port link itself; the old name stays for code written against it.
using CSerialLinkPort = CSerialLink;

}  // namespace px
