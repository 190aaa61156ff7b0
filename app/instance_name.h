#pragma once
#include <string>

namespace px {

inline constexpr int kMaxInstances = 20;

// The name of copy n's mutex, which is also its window title: the plain program title for
// copy 1, the title with " (n)" for any other number.
std::string InstanceName(int number);

}  // namespace px
