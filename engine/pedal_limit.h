#pragma once

namespace px {

// At most this many pedals are updated at once on one computer: as many copies of the dialog
// program as there are numbers for them, and as many pedals as one command takes.
inline constexpr int kMaxPedals = 20;

}  // namespace px
