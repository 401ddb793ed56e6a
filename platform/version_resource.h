// Reading a version resource (RT_VERSION): the fixed file information, the string tables and the
// translation list, checked against the stored layout as it is read.
//
// Layout: a tree of blocks. Each block is wLength (bytes of the whole block, its children
// included, without the padding that may follow it), wValueLength (characters of a text value,
// bytes of a binary one), wType (1 text, 0 binary), a NUL-terminated UTF-16LE key, zero padding
// to a 32-bit boundary, the value, zero padding to a 32-bit boundary, then the child blocks, each
// starting on a 32-bit boundary. Boundaries count from the start of the resource. The root is
// "VS_VERSION_INFO" whose value is VS_FIXEDFILEINFO; its children are "StringFileInfo" (string
// tables named by language and code page, e.g. "040904E4", holding text blocks key -> value) and
// "VarFileInfo" (a binary "Translation" block of language / code-page word pairs).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace win32 {

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BDu;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000u;
inline constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003Fu;
inline constexpr DWORD VOS__WINDOWS32 = 0x00000004u;
inline constexpr DWORD VFT_APP = 1;
inline constexpr DWORD VFT_DLL = 2;

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

// One block as stored. Offsets count from the start of the resource.
struct VersionBlock {
  std::size_t offset = 0;
  WORD length = 0;
  WORD value_length = 0;
  WORD type = 0;
  std::string key;  // UTF-8
  std::size_t value_offset = 0;
  std::vector<BYTE> value;  // the value's bytes exactly as stored
  std::vector<VersionBlock> children;

  // A text value decoded up to its terminator.
  std::string Text() const;
  const VersionBlock* Child(std::string_view child_key) const;
};

struct VersionStringTable {
  std::string language_codepage;                             // the table's key, e.g. "040904E4"
  std::vector<std::pair<std::string, std::string>> strings;  // in stored order

  const std::string* Find(std::string_view key) const;
};

struct VersionInfo {
  VS_FIXEDFILEINFO fixed{};
  std::vector<VersionStringTable> string_tables;
  std::vector<std::pair<WORD, WORD>> translations;  // language, code page
};

// Both parsers refuse what breaks the layout (a block that overruns its parent or ends inside
// its own key, a key without terminator, non-zero padding, a misplaced child) and, for the
// whole record, a root other than VS_VERSION_INFO or a fixed part with the wrong size or
// signature. The reason goes to *error when asked. data must be 32-bit aligned.
std::optional<VersionBlock> ParseVersionBlock(const void* data, std::size_t size,
                                              std::string* error = nullptr);
std::optional<VersionInfo> ParseVersionInfo(const void* data, std::size_t size,
                                            std::string* error = nullptr);

// UTF-16LE code units (unaligned bytes) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(const BYTE* units, std::size_t count);

}  // namespace win32
