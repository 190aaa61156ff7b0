#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/vocabulary.h"

namespace px {

// A one-line reading of a whole message for traces: its kind and decoded fields, such as
// "RomWrite id=5E addr=0x000A0000 len=12288 crc=0x1234ABCD". Unknown messages are named as such.
std::string DescribeMessage(const uint8_t* m, size_t length, Sender sender);
// The bytes in hex, separated by blanks.
std::string HexBytes(const uint8_t* data, size_t length);

}  // namespace px
