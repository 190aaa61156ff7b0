#include "serial_link_cases.h"
