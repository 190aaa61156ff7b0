#pragma once
#include <string>

#include "engine/pedal_limit.h"

namespace px {

// The name of copy n's mutex, which is also its window title: the plain program title for
// copy 1, the title with " (n)" for any other number.
std::string InstanceName(int number);

}  // namespace px
