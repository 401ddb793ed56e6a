// The resources each package build embeds, read back through the module API and checked field by
// field against the formats they are stored in.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/package_info.h"
#include "platform/resource.h"
#include "platform/version_resource.h"
#include "tests/platform/resource_support.h"

namespace {

using quellin::test::Bytes;
using quellin::test::I32;
using quellin::test::Module;
using quellin::test::ReadResource;
using quellin::test::U16;
using quellin::test::U32;

struct Build {
  const char* name;
  const char* library;
  const char* description;
  const char* required_package;
  const char* package_unit;
  std::uint32_t library_version;
  bool has_version_and_icon;
  const char* comments;
};

const Build kBuilds[] = {
    {"quellin50", QUELLIN_FIXTURE_QUELLIN50, "Quellin Communication Components", "VCL50",
     "Quellin50", 5, true, ""},
    {"quellin40", QUELLIN_FIXTURE_QUELLIN40, "Quellin Communication Components", "VCL40",
     "Quellin40", 4, true, "https://dovrane.example/"},
    {"QuellinObj", QUELLIN_FIXTURE_QUELLINOBJ, "Quellin Standard Edition", "VCL35", "Quellinobj", 3,
     false, ""},
};

// Red, green, blue in palette order.
// clang-format off
constexpr std::uint8_t kStandardPalette[16][3] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
    {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
};
// clang-format on
constexpr std::uint8_t kLightGrey = 7;
constexpr std::uint8_t kYellow = 11;
constexpr std::size_t kInfoHeader = 40;
constexpr std::size_t kPaletteBytes = 16 * 4;

// A 4-bit device-independent picture: header fields every one of ours shares, then the palette;
// returns the colour indices top row first (the rows are stored bottom row first).
std::vector<std::vector<std::uint8_t>> CheckedPicture(Bytes b, std::int32_t width,
                                                      std::int32_t stored_height,
                                                      std::int32_t picture_height) {
  EXPECT_EQ(U32(b, 0), kInfoHeader);
  EXPECT_EQ(I32(b, 4), width);
  EXPECT_EQ(I32(b, 8), stored_height) << "positive: rows stored bottom-up";
  EXPECT_EQ(U16(b, 12), 1) << "planes";
  EXPECT_EQ(U16(b, 14), 4) << "bits per pixel";
  EXPECT_EQ(U32(b, 16), 0u) << "BI_RGB";
  EXPECT_TRUE(U32(b, 32) == 16 || U32(b, 32) == 0) << "colours used";
  for (std::size_t i = 0; i < 16; ++i) {
    SCOPED_TRACE("palette entry " + std::to_string(i));
    const std::size_t at = kInfoHeader + 4 * i;
    EXPECT_EQ(b[at + 0], kStandardPalette[i][2]);  // RGBQUAD: blue, green, red, zero
    EXPECT_EQ(b[at + 1], kStandardPalette[i][1]);
    EXPECT_EQ(b[at + 2], kStandardPalette[i][0]);
    EXPECT_EQ(b[at + 3], 0);
  }
  const std::size_t row_bytes = ((static_cast<std::size_t>(width) * 4 + 31) / 32) * 4;
  std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(picture_height));
  if (b.size() < kInfoHeader + kPaletteBytes + row_bytes * rows.size()) {
    ADD_FAILURE() << "pixels missing";
    return rows;
  }
  for (std::size_t stored = 0; stored < rows.size(); ++stored) {
    const std::size_t at = kInfoHeader + kPaletteBytes + stored * row_bytes;
    auto& row = rows[rows.size() - 1 - stored];
    for (std::int32_t x = 0; x < width; ++x) {
      const std::uint8_t pair = b[at + static_cast<std::size_t>(x / 2)];
      row.push_back(x % 2 == 0 ? pair >> 4 : pair & 0x0F);
    }
  }
  return rows;
}

// Runs of pin colour in a row: the connector shows five pins over four, the wide edge up.
int PinCount(const std::vector<std::uint8_t>& row) {
  int runs = 0;
  for (std::size_t x = 0; x < row.size(); ++x) {
    if (row[x] == kYellow && (x == 0 || row[x - 1] != kYellow)) ++runs;
  }
  return runs;
}

void ExpectConnectorPins(const std::vector<std::vector<std::uint8_t>>& rows) {
  std::vector<int> pin_rows;
  for (const auto& row : rows) {
    if (PinCount(row) > 0) pin_rows.push_back(PinCount(row));
  }
  ASSERT_FALSE(pin_rows.empty());
  EXPECT_EQ(pin_rows.front(), 5) << "upper pin row";
  EXPECT_EQ(pin_rows.back(), 4) << "lower pin row";
}

void PrintTo(const Build& build, std::ostream* os) {
  *os << build.name;
}

class PackageResources : public testing::TestWithParam<Build> {};

TEST_P(PackageResources, DescriptionIsTerminatedPaddedUtf16) {
  const Build& build = GetParam();
  Module m(build.library);
  Bytes b = ReadResource(m, "DESCRIPTION", win32::RT_RCDATA);
  const std::string expected = build.description;
  const std::size_t text_bytes = 2 * (expected.size() + 1);
  ASSERT_EQ(b.size(), (text_bytes + 3) / 4 * 4);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(U16(b, 2 * i), static_cast<std::uint8_t>(expected[i])) << "character " << i;
  }
  for (std::size_t i = text_bytes - 2; i < b.size(); ++i) {
    EXPECT_EQ(b[i], 0) << "terminator and padding, byte " << i;
  }
  std::string error;
  auto parsed = quellin::ParsePackageDescription(b.data(), b.size(), &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(*parsed, expected);
  EXPECT_EQ(expected.rfind("Quellin ", 0), 0u) << "the product word leads";
}

TEST_P(PackageResources, PackageInfoNamesRequiredPackageAndUnits) {
  const Build& build = GetParam();
  Module m(build.library);
  Bytes b = ReadResource(m, "PACKAGEINFO", win32::RT_RCDATA);
  std::string error;
  auto info = quellin::ParsePackageInfo(b.data(), b.size(), &error);
  ASSERT_TRUE(info) << error;
  EXPECT_EQ(info->flags, quellin::kPackageDesignTime | quellin::kPackageRunTime);
  EXPECT_EQ(info->required_packages, std::vector<std::string>{build.required_package});
  ASSERT_EQ(info->units.size(), 2u);
  EXPECT_EQ(info->units[0].name, build.package_unit);
  EXPECT_EQ(info->units[0].flags, quellin::kUnitPackage);
  EXPECT_EQ(info->units[1].name, "Quellin");
  EXPECT_EQ(info->units[1].flags, quellin::kUnitRegisters);

  auto options_bytes = ReadResource(m, "PACKAGEOPTIONS", win32::RT_RCDATA);
  auto options = quellin::ParsePackageOptions(options_bytes.data(), options_bytes.size(), &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->library_version, build.library_version);
  const std::uint32_t extras = quellin::kOptionVersionInfo | quellin::kOptionMainIcon;
  EXPECT_EQ(options->flags,
            quellin::kOptionExplicitBuild | (build.has_version_and_icon ? extras : 0));
}

TEST_P(PackageResources, PaletteBitmapIsA24PixelConnectorOnLightGrey) {
  Module m(GetParam().library);
  Bytes b = ReadResource(m, "TQUELLIN", win32::RT_BITMAP);
  constexpr std::size_t kPixelBytes = 12 * 24;  // 24 pixels of 4 bits fill 12 bytes: no padding
  ASSERT_EQ(b.size(), kInfoHeader + kPaletteBytes + kPixelBytes) << "no file header, no extras";
  EXPECT_EQ(U32(b, 20), kPixelBytes) << "image size";
  auto rows = CheckedPicture(b, 24, 24, 24);
  ASSERT_EQ(rows.size(), 24u);
  for (int i = 0; i < 24; ++i) {
    EXPECT_EQ(rows[0][i], kLightGrey) << "top row, column " << i;
    EXPECT_EQ(rows[23][i], kLightGrey) << "bottom row, column " << i;
    EXPECT_EQ(rows[i][23], kLightGrey) << "right column, row " << i;
  }
  ExpectConnectorPins(rows);
}

TEST_P(PackageResources, IconGroupPointsAtOne32PixelSixteenColourIcon) {
  const Build& build = GetParam();
  Module m(build.library);
  if (!build.has_version_and_icon) {
    for (win32::LPCSTR type : {win32::RT_GROUP_ICON, win32::RT_ICON}) {
      win32::SetLastError(0);
      EXPECT_EQ(win32::FindResourceA(m, win32::MAKEINTRESOURCEA(1), type), nullptr);
      EXPECT_EQ(win32::GetLastError(), win32::ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    EXPECT_EQ(win32::FindResourceA(m, "MAINICON", win32::RT_GROUP_ICON), nullptr);
    return;
  }
  Bytes group = ReadResource(m, "MAINICON", win32::RT_GROUP_ICON);
  Bytes icon = ReadResource(m, win32::MAKEINTRESOURCEA(1), win32::RT_ICON);
  ASSERT_EQ(group.size(), 6u + 14u) << "one directory entry";
  EXPECT_EQ(U16(group, 0), 0) << "reserved";
  EXPECT_EQ(U16(group, 2), 1) << "icons";
  EXPECT_EQ(U16(group, 4), 1) << "count";
  EXPECT_EQ(group[6], 32) << "width";
  EXPECT_EQ(group[7], 32) << "height";
  EXPECT_EQ(group[8], 16) << "colours";
  EXPECT_EQ(group[9], 0) << "reserved";
  EXPECT_EQ(U16(group, 10), 1) << "planes";
  EXPECT_EQ(U16(group, 12), 4) << "bits per pixel";
  EXPECT_EQ(U32(group, 14), icon.size()) << "bytes in the icon resource";
  EXPECT_EQ(U16(group, 18), 1) << "icon id";

  constexpr std::size_t kXorBytes = 16 * 32;
  constexpr std::size_t kAndBytes = 4 * 32;
  ASSERT_EQ(icon.size(), kInfoHeader + kPaletteBytes + kXorBytes + kAndBytes);
  EXPECT_EQ(U32(icon, 20), kXorBytes + kAndBytes) << "image size";
  auto rows = CheckedPicture(icon, 32, 64, 32);
  ASSERT_EQ(rows.size(), 32u);
  ExpectConnectorPins(rows);

  // AND mask, bottom row first, most significant bit leftmost: set where the screen shows.
  const std::size_t mask_at = kInfoHeader + kPaletteBytes + kXorBytes;
  auto clear = [&](int x, int y) {
    const std::size_t row = mask_at + static_cast<std::size_t>(31 - y) * 4;
    return (icon[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8) & 1) != 0;
  };
  int opaque = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      if (clear(x, y)) {
        EXPECT_EQ(rows[y][x], 0) << "a see-through pixel is black in the colour mask";
      } else {
        ++opaque;
      }
    }
  }
  EXPECT_TRUE(clear(0, 0) && clear(31, 0) && clear(0, 31) && clear(31, 31)) << "corners";
  EXPECT_FALSE(clear(15, 15)) << "centre";
  EXPECT_GT(opaque, 32 * 32 / 4);
}

// The exact bytes of a block: header, key, padding, value; a child starts on a 32-bit boundary.
void ExpectLaidOut(const win32::VersionBlock& block, Bytes whole) {
  SCOPED_TRACE("block " + block.key);
  EXPECT_EQ(block.offset % 4, 0u);
  const std::size_t key_end = block.offset + 6 + 2 * (block.key.size() + 1);
  const std::size_t value_bytes = block.type == 1 ? 2u * block.value_length : block.value_length;
  EXPECT_EQ(block.value.size(), value_bytes);
  if (!block.value.empty()) {
    EXPECT_EQ(block.value_offset, (key_end + 3) / 4 * 4);
  }
  if (block.type == 1 && !block.value.empty()) {
    EXPECT_EQ(block.value[value_bytes - 2], 0);
    EXPECT_EQ(block.value[value_bytes - 1], 0) << "a text value keeps its terminator";
    EXPECT_EQ(block.Text().size(), block.value_length - 1u);
  }
  const std::size_t end = block.children.empty()
                              ? (block.value.empty() ? key_end : block.value_offset + value_bytes)
                              : block.children.back().offset + block.children.back().length;
  EXPECT_EQ(block.offset + block.length, end) << "length stops at the block's last byte";
  EXPECT_LE(end, whole.size());
  for (const auto& child : block.children) ExpectLaidOut(child, whole);
}

TEST_P(PackageResources, VersionRecordHoldsFixedInfoStringsAndTranslation) {
  const Build& build = GetParam();
  Module m(build.library);
  if (!build.has_version_and_icon) {
    win32::SetLastError(0);
    EXPECT_EQ(win32::FindResourceA(m, win32::MAKEINTRESOURCEA(1), win32::RT_VERSION), nullptr);
    EXPECT_EQ(win32::GetLastError(), win32::ERROR_RESOURCE_TYPE_NOT_FOUND);
    return;
  }
  Bytes b = ReadResource(m, win32::MAKEINTRESOURCEA(1), win32::RT_VERSION);
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 4, 0u);
  std::string error;
  auto root = win32::ParseVersionBlock(b.data(), b.size(), &error);
  ASSERT_TRUE(root) << error;
  EXPECT_EQ(root->length, b.size());
  EXPECT_EQ(root->key, "VS_VERSION_INFO");
  EXPECT_EQ(root->type, 0);
  EXPECT_EQ(root->value_length, sizeof(win32::VS_FIXEDFILEINFO));
  ExpectLaidOut(*root, b);
  std::vector<std::string> parts;
  for (const auto& c : root->children) parts.push_back(c.key);
  EXPECT_EQ(parts, (std::vector<std::string>{"StringFileInfo", "VarFileInfo"}));
  const win32::VersionBlock* translation =
      root->Child("VarFileInfo") ? root->Child("VarFileInfo")->Child("Translation") : nullptr;
  ASSERT_NE(translation, nullptr);
  EXPECT_EQ(translation->type, 0);
  EXPECT_EQ(translation->value_length, 4);

  auto info = win32::ParseVersionInfo(b.data(), b.size(), &error);
  ASSERT_TRUE(info) << error;
  const win32::VS_FIXEDFILEINFO& f = info->fixed;
  EXPECT_EQ(f.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(f.dwStrucVersion, 0x00010000u);
  EXPECT_EQ(f.dwFileVersionMS, 0x00010000u) << "1.0";
  EXPECT_EQ(f.dwFileVersionLS, 0x00030000u) << "3.0";
  EXPECT_EQ(f.dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(f.dwProductVersionLS, 0x00030000u);
  EXPECT_EQ(f.dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(f.dwFileFlags, 0u);
  EXPECT_EQ(f.dwFileOS, win32::VOS__WINDOWS32);
  EXPECT_EQ(f.dwFileType, win32::VFT_APP);
  EXPECT_EQ(f.dwFileSubtype, 0u);
  EXPECT_EQ(f.dwFileDateMS, 0u);
  EXPECT_EQ(f.dwFileDateLS, 0u);

  ASSERT_EQ(info->string_tables.size(), 1u);
  EXPECT_EQ(info->string_tables[0].language_codepage, "040904E4");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"CompanyName", "Dovrane"},    {"FileDescription", "Quellin"},
      {"FileVersion", "1.0.3.0"},    {"InternalName", ""},
      {"LegalCopyright", ""},        {"LegalTrademarks", ""},
      {"OriginalFilename", ""},      {"ProductName", ""},
      {"ProductVersion", "1.0.0.0"}, {"Comments", build.comments},
  };
  EXPECT_EQ(info->string_tables[0].strings, expected);
  EXPECT_EQ(info->translations,
            (std::vector<std::pair<win32::WORD, win32::WORD>>{{0x0409, 0x04E4}}));
}

INSTANTIATE_TEST_SUITE_P(Builds, PackageResources, testing::ValuesIn(kBuilds),
                         [](const testing::TestParamInfo<Build>& p) { return p.param.name; });

TEST(PackageResources, PaletteBitmapIsTheSameInEveryBuild) {
  Module first(kBuilds[0].library);
  Bytes reference = ReadResource(first, "TQUELLIN", win32::RT_BITMAP);
  ASSERT_FALSE(reference.empty());
  for (const Build& build : kBuilds) {
    Module m(build.library);
    Bytes b = ReadResource(m, "TQUELLIN", win32::RT_BITMAP);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), reference.begin(), reference.end())) << build.name;
  }
}

// The documented byte layout, spelled out once for one build.
TEST(PackageResources, PackageInfoBytesFollowTheDocumentedLayout) {
  Module m(QUELLIN_FIXTURE_QUELLIN50);
  Bytes b = ReadResource(m, "PACKAGEINFO", win32::RT_RCDATA);
  // clang-format off
  const std::vector<std::uint8_t> expected = {
      1, 0, 0, 0,                                            // format
      3, 0, 0, 0,                                            // designer and run time
      1, 0, 0, 0, 5, 'V', 'C', 'L', '5', '0', 0,             // requires VCL50
      2, 0, 0, 0,                                            // two units
      1, 9, 'Q', 'u', 'e', 'l', 'l', 'i', 'n', '5', '0', 0,  // the package unit
      2, 7, 'Q', 'u', 'e', 'l', 'l', 'i', 'n', 0,            // the component unit, which registers
      0, 0, 0,                                               // padding to 48
  };
  // clang-format on
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.end()), expected);

  Bytes options = ReadResource(m, "PACKAGEOPTIONS", win32::RT_RCDATA);
  const std::vector<std::uint8_t> expected_options = {1, 0, 0, 0, 5, 0, 0, 0,
                                                      7, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(options.begin(), options.end()), expected_options);
}

}  // namespace
