// Registers or removes test COM ports in a Wine prefix, for tests that need ports to list:
//   discovery_register_port add <id> <PortName> <friendly name>
//   discovery_register_port remove <id prefix>
#include <cstdio>
#include <cstring>

#include "discovery_register.h"

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "add") == 0) {
    return px::test::RegisterTestPort(argv[2], argv[3], argv[4]) ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "remove") == 0) {
    std::printf("%d\n", px::test::RemoveTestPorts(argv[2]));
    return 0;
  }
  std::fprintf(stderr, "usage: %s add <id> <PortName> <friendly> | remove <id prefix>\n", argv[0]);
  return 2;
}
