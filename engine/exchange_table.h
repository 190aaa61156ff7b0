#pragma once
#include <cstdint>

#include "engine/request_channel.h"
#include "engine/timing.h"
#include "protocol/vocabulary.h"

namespace px {

// An exchange's rules for one run, and the texts of its two failures.
struct ExchangeRules {
  RetryPolicy policy;
  int timeoutText;
  int errorText;  // "%d" filled with the refusing status
};

// The rules of the exchange that sends `request`, with the run's times. The erase waits for the
// erase itself: eraseSize sizes its wait (EraseWaitMs); the other exchanges ignore it.
ExchangeRules RulesOf(MessageKind request, const EngineTiming& timing, uint32_t eraseSize = 0);

}  // namespace px
