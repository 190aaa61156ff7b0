#include <gtest/gtest.h>

#include <set>

#include "engine/images.h"
#include "engine/strings.h"
#include "px_version.h"

namespace px {
namespace {

TEST(Strings, StatusFillsTheFormatWithItsSign) {
  EXPECT_EQ(FormatText(IDS_ERROR_FILE_DELETE, -6), "Error occurred(File Delete:-6)");
  EXPECT_EQ(FormatText(IDS_ERROR_ROM_WRITE, 255), "Transfer error occurred(ROM write:255)");
  EXPECT_EQ(FormatText(IDS_LOW_BATTERY, 3), "Low battery.");
  EXPECT_STREQ(LoadText(999), "");
  int count = 0;
  const TextEntry* table = TextTable(&count);
  std::set<int> ids;
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(ids.insert(table[i].id).second) << table[i].id;
    EXPECT_NE(table[i].text[0], 0);
  }
}

// The title is the program's own text and reads as it always has; the version it carries must be
// the one the build stamps on --version, the Windows version resource and the packages.
TEST(Strings, TheProgramTitleCarriesTheProjectVersion) {
  EXPECT_STREQ(kProgramTitle, "TARN PX-550LN System v1.30 Updater");
  EXPECT_EQ(std::string(kProgramTitle),
            std::string("TARN PX-550LN System v") + PX_VERSION_SHORT + " Updater");
  EXPECT_EQ(std::string(PX_VERSION_STRING).rfind(PX_VERSION_SHORT, 0), 0u);
}

TEST(Images, StandInsHaveTheRealSizes) {
  const uint8_t* bytes = nullptr;
  EXPECT_EQ(LoadDeviceImage(kFirmwareResource, &bytes), 496212);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(LoadDeviceImage(kModuleResource, &bytes), 9217);
  EXPECT_EQ(LoadDeviceImage(232, &bytes), -1);
}

}  // namespace
}  // namespace px
