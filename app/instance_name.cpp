#include "app/instance_name.h"

#include "engine/strings.h"

namespace px {

std::string InstanceName(int number) {
  if (number == 1) return kProgramTitle;
  return std::string(kProgramTitle) + " (" + std::to_string(number) + ")";
}

}  // namespace px
