#include <windows.h>

#include "cli/virtual_pedals.h"

namespace px::cli {

CSimulator::~CSimulator() {}

bool CSimulator::Start(const std::vector<std::string>&, bool, std::string&, std::string& error) {
  error = "the virtual pedal runs on Linux and macOS only";
  return false;
}

int CSimulator::Stop() {
  return -1;
}

std::string TempPath(const std::string& stem) {
  char dir[MAX_PATH];
  char path[MAX_PATH];
  if (GetTempPathA(MAX_PATH, dir) == 0 ||
      GetTempFileNameA(dir, stem.substr(0, 3).c_str(), 0, path) == 0) {
    return "";
  }
  return path;
}

}  // namespace px::cli
