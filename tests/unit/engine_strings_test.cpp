#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <vector>

#include "engine/flash_table.h"
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
  const std::optional<DeviceImages> images = LoadImages();
  ASSERT_TRUE(images);
  EXPECT_EQ(images->Of(kFirmwareResource).size(), 496212u);
  EXPECT_EQ(images->Of(kModuleResource).data(), images->module.data());
  EXPECT_TRUE(images->Of(232).empty());
}

// One rule for every front end: both images there, the module no larger than the device's file
// buffer.
TEST(Images, LoadedOnlyWhenBothAreThereAndTheModuleFits) {
  std::vector<uint8_t> firmware(100, 1);
  std::vector<uint8_t> module(kModuleFileBufferSize, 2);
  bool firmwareThere = true;
  const ImageLoader loader = [&](int id, const uint8_t** bytes) -> int32_t {
    const std::vector<uint8_t>& image = id == kFirmwareResource ? firmware : module;
    if (id == kFirmwareResource && !firmwareThere) return -1;
    if (id != kFirmwareResource && id != kModuleResource) return -1;
    *bytes = image.data();
    return static_cast<int32_t>(image.size());
  };
  std::optional<DeviceImages> images = LoadImages(loader);
  ASSERT_TRUE(images) << "a module that fills the buffer exactly fits";
  EXPECT_EQ(images->firmware.data(), firmware.data());
  EXPECT_EQ(images->module.size(), kModuleFileBufferSize);
  module.push_back(3);
  EXPECT_FALSE(LoadImages(loader));
  module.clear();
  EXPECT_TRUE(LoadImages(loader)) << "an empty module is still a module";
  firmwareThere = false;
  EXPECT_FALSE(LoadImages(loader));
  firmwareThere = true;
  EXPECT_FALSE(LoadImages([&](int id, const uint8_t** bytes) {
    return id == kModuleResource ? -1 : loader(id, bytes);
  }));
}

}  // namespace
}  // namespace px
