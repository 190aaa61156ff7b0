// The resources of the built PX550Updater.exe, read back from the executable itself, and the
// port number rule of its port list.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/port_choice.h"
#include "engine/strings.h"
#include "px_version.h"

namespace px {
namespace {

class UpdaterResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = ::LoadLibraryExA(PX_UPDATER_EXE, nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << PX_UPDATER_EXE; }

  // The bytes of one resource; empty when it is missing.
  static std::vector<uint8_t> Resource(const char* type, int id) {
    HRSRC found = ::FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return {};
    HGLOBAL loaded = ::LoadResource(module_, found);
    const auto* bytes = static_cast<const uint8_t*>(::LockResource(loaded));
    return std::vector<uint8_t>(bytes, bytes + ::SizeofResource(module_, found));
  }

  static std::string String(int id) {
    char text[1024] = {};
    const int length = ::LoadStringA(module_, static_cast<UINT>(id), text, sizeof(text));
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
  }

  static HMODULE module_;
};

HMODULE UpdaterResources::module_ = nullptr;

std::vector<uint8_t> ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

BOOL CALLBACK CollectBlock(HMODULE, LPCSTR, LPSTR name, LONG_PTR blocks) {
  if (IS_INTRESOURCE(name)) {
    reinterpret_cast<std::vector<int>*>(blocks)->push_back(
        static_cast<int>(reinterpret_cast<uintptr_t>(name)));
  }
  return TRUE;
}

TEST_F(UpdaterResources, StringTableEqualsTheProgramsTable) {
  int count = 0;
  const TextEntry* table = TextTable(&count);
  std::set<int> ids;
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(String(table[i].id), table[i].text) << "string " << table[i].id;
    ids.insert(table[i].id);
  }
  // Nothing in the resources that the program's table lacks: each block holds 16 ids.
  std::vector<int> blocks;
  ::EnumResourceNamesA(module_, MAKEINTRESOURCEA(6) /* RT_STRING */, CollectBlock,
                       reinterpret_cast<LONG_PTR>(&blocks));
  ASSERT_FALSE(blocks.empty());
  for (int block : blocks) {
    for (int id = (block - 1) * 16; id < block * 16; ++id) {
      if (String(id).empty()) continue;
      EXPECT_TRUE(ids.count(id)) << "string " << id << " only in .rc";
    }
  }
}

TEST_F(UpdaterResources, IconHasThreeSizesAtThreeDepthsWithATransparentOutline) {
  const std::vector<uint8_t> group = Resource(MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, 228);
  ASSERT_GE(group.size(), 6u);
  const int images = group[4] | (group[5] << 8);
  std::set<std::pair<int, int>> found;
  for (int i = 0; i < images; ++i) {
    const uint8_t* entry = group.data() + 6 + 14 * i;
    ASSERT_LE(static_cast<size_t>(6 + 14 * (i + 1)), group.size());
    const int size = entry[0];
    const int bits = entry[6] | (entry[7] << 8);
    const int id = entry[12] | (entry[13] << 8);
    found.insert({size, bits});

    const std::vector<uint8_t> image = Resource(MAKEINTRESOURCEA(3) /* RT_ICON */, id);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof(header));
    EXPECT_EQ(header.biWidth, size);
    EXPECT_EQ(header.biHeight, 2 * size);
    EXPECT_EQ(header.biBitCount, bits);

    // The AND mask ends the image, bottom row first: corners see through, the middle does not.
    const size_t maskRow = ((size + 31) / 32) * 4;
    ASSERT_GE(image.size(), maskRow * size);
    const uint8_t* mask = image.data() + image.size() - maskRow * size;
    auto transparent = [&](int x, int y) {
      return (mask[(size - 1 - y) * maskRow + x / 8] >> (7 - x % 8)) & 1;
    };
    EXPECT_TRUE(transparent(0, 0) && transparent(size - 1, size - 1)) << size << "/" << bits;
    EXPECT_FALSE(transparent(size / 2, size / 2)) << size << "/" << bits;
  }
  const std::set<std::pair<int, int>> wanted = {{48, 4},  {48, 8}, {48, 24}, {32, 4}, {32, 8},
                                                {32, 24}, {16, 4}, {16, 8},  {16, 24}};
  EXPECT_EQ(found, wanted);
}

TEST_F(UpdaterResources, DeviceImagesAreTheBuildsImages) {
  const std::vector<uint8_t> firmware = Resource("BIN", 231);
  const std::vector<uint8_t> module = Resource("BIN", 238);
  EXPECT_EQ(firmware.size(), 496212u);
  EXPECT_EQ(module.size(), 9217u);
  EXPECT_TRUE(firmware == ReadFile(PX_FIRMWARE_FILE));
  EXPECT_TRUE(module == ReadFile(PX_MODULE_FILE));
}

TEST_F(UpdaterResources, ManifestAndVersion) {
  const std::vector<uint8_t> bytes = Resource(MAKEINTRESOURCEA(24) /* RT_MANIFEST */, 1);
  const std::string manifest(bytes.begin(), bytes.end());
  EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("<dpiAware"), std::string::npos);

  // The file version follows the project's version.
  const std::vector<uint8_t> version = Resource(MAKEINTRESOURCEA(16) /* RT_VERSION */, 1);
  ASSERT_GE(version.size(), 40u + sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, version.data() + 40, sizeof(info));  // after the VS_VERSIONINFO header
  ASSERT_EQ(info.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(HIWORD(info.dwFileVersionMS), PX_VERSION_MAJOR);
  EXPECT_EQ(LOWORD(info.dwFileVersionMS), PX_VERSION_MINOR);
  EXPECT_EQ(HIWORD(info.dwFileVersionLS), PX_VERSION_PATCH);
}

// The port number of the selected entry. "COM" is found in any case: discovery keeps the name
// as the system stores it, and a "com7" entry must open COM7.
TEST(PortNumberOfSelection, ReadsTheNumberBetweenComAndTheColon) {
  EXPECT_EQ(PortNumberOfSelection("COM12:Standard Serial over Bluetooth link (COM12)"), 12);
  EXPECT_EQ(PortNumberOfSelection("com7:Standard Serial over Bluetooth link (com7)"), 7);
  EXPECT_EQ(PortNumberOfSelection("Com3:USB Serial Device"), 3);
  // A port name that is not "COM" and a number gives 0, which no port bears; never part of
  // the name, nor an overflowed number, that would open another port.
  EXPECT_EQ(PortNumberOfSelection("COMx:odd"), 0);
  EXPECT_EQ(PortNumberOfSelection("COM 4:spaced"), 0);
  EXPECT_EQ(PortNumberOfSelection("COM99999999999:too large"), 0);
  EXPECT_EQ(PortNumberOfSelection("COM4294967303:2^32 + 7"), 0);
}

TEST(PortNumberOfSelection, NoNumberWithoutComAColonOrTextBetween) {
  EXPECT_EQ(PortNumberOfSelection(""), -1);
  EXPECT_EQ(PortNumberOfSelection("COM7 Bluetooth"), -1);
  EXPECT_EQ(PortNumberOfSelection("LPT1:Printer Port"), -1);
  EXPECT_EQ(PortNumberOfSelection("COM:no number"), -1);
  EXPECT_EQ(PortNumberOfSelection("x:COM3 after the colon"), -1);
}

}  // namespace
}  // namespace px
