#pragma once
// A folder of the running test's own under the system's temporary folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace px::test {

// "<stem>-<pid>-<test name>", emptied and made anew; whoever asked removes it when done.
inline std::filesystem::path FreshTestFolder(const std::string& stem) {
  std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(test.begin(), test.end(), '/', '_');  // parameterised tests: "Name/0"
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(getpid()) + "-" + test);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace px::test
