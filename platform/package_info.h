// The package resources a package library carries besides its version record, and their readers.
//
// RCDATA "DESCRIPTION": the package's description, UTF-16LE text with a NUL terminator, then zero
// bytes up to the next multiple of 4.
//
// RCDATA "PACKAGEINFO", little-endian, byte-packed:
//   u32  format, kPackageInfoFormat
//   u32  flags, kPackageDesignTime | kPackageRunTime; other bits zero
//   u32  number of required packages, then each one's name
//   u32  number of contained units, then for each: u8 unit flags (kUnit...), its name
//   zero bytes up to the next multiple of 4
// where a name is: u8 length n (1..255), n ASCII bytes (no NUL among them), one NUL byte.
// Required packages are listed in load order, units in initialization order.
//
// RCDATA "PACKAGEOPTIONS", 16 bytes, little-endian:
//   u32  format, kPackageOptionsFormat
//   u32  major version of the class library the package was built for (5, 4, 3)
//   u32  flags (kOption...); other bits zero
//   u32  reserved, zero
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quellin {

inline constexpr std::uint32_t kPackageInfoFormat = 1;
inline constexpr std::uint32_t kPackageDesignTime = 0x1;  // may be installed in the designer
inline constexpr std::uint32_t kPackageRunTime = 0x2;     // may be loaded by applications
inline constexpr std::uint8_t kUnitPackage = 0x1;         // the unit named after the package
inline constexpr std::uint8_t kUnitRegisters = 0x2;       // exports a designer Register procedure

inline constexpr std::uint32_t kPackageOptionsFormat = 1;
inline constexpr std::size_t kPackageOptionsSize = 16;
inline constexpr std::uint32_t kOptionExplicitBuild = 0x1;  // never rebuilt behind the user's back
inline constexpr std::uint32_t kOptionVersionInfo = 0x2;    // carries an RT_VERSION resource
inline constexpr std::uint32_t kOptionMainIcon = 0x4;       // carries the icon group MAINICON

struct PackageUnit {
  std::string name;
  std::uint8_t flags = 0;
};

struct PackageInfo {
  std::uint32_t flags = 0;
  std::vector<std::string> required_packages;
  std::vector<PackageUnit> units;
};

struct PackageOptions {
  std::uint32_t library_version = 0;
  std::uint32_t flags = 0;
};

// Each refuses anything that strays from the layout above (short or long data, unknown format or
// bits, an empty or unterminated name, padding that is missing, too long or not zero) and gives
// the reason in *error when asked.
std::optional<std::string> ParsePackageDescription(const void* data, std::size_t size,
                                                   std::string* error = nullptr);
std::optional<PackageInfo> ParsePackageInfo(const void* data, std::size_t size,
                                            std::string* error = nullptr);
std::optional<PackageOptions> ParsePackageOptions(const void* data, std::size_t size,
                                                  std::string* error = nullptr);

}  // namespace quellin
