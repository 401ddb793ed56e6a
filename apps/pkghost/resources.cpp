#include "apps/pkghost/resources.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "platform/package_info.h"
#include "platform/version_resource.h"

namespace pkghost {

namespace {

using Bytes = std::span<const std::uint8_t>;

// The resource's bytes; empty when the module has none of that name and type.
Bytes Read(win32::HMODULE module, win32::LPCSTR name, win32::LPCSTR type) {
  win32::HRSRC found = win32::FindResourceA(module, name, type);
  if (!found) return {};
  auto* data =
      static_cast<const std::uint8_t*>(win32::LockResource(win32::LoadResource(module, found)));
  if (!data) return {};
  return {data, win32::SizeofResource(module, found)};
}

std::uint16_t U16(Bytes b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t U32(Bytes b, std::size_t at) {
  return U16(b, at) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}

std::string Hex(std::uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, v);
  return text;
}

std::string Dotted(std::uint32_t ms, std::uint32_t ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

void Description(std::ostream& out, Bytes b) {
  std::string error;
  auto text = quellin::ParsePackageDescription(b.data(), b.size(), &error);
  if (b.empty()) {
    out << "description: none\n";
  } else if (!text) {
    out << "description: unreadable (" << error << ")\n";
  } else {
    out << "description: " << *text << "\n";
  }
}

void Info(std::ostream& out, Bytes b) {
  std::string error;
  auto info = quellin::ParsePackageInfo(b.data(), b.size(), &error);
  if (b.empty()) {
    out << "package info: none\n";
    return;
  }
  if (!info) {
    out << "package info: unreadable (" << error << ")\n";
    return;
  }
  const bool design = info->flags & quellin::kPackageDesignTime;
  const bool runtime = info->flags & quellin::kPackageRunTime;
  out << "package info: "
      << (design && runtime ? "designer and run time"
          : design          ? "designer only"
                            : "run time only")
      << "\n  requires:";
  for (const auto& p : info->required_packages) out << " " << p;
  out << "\n  contains:";
  for (const auto& u : info->units) {
    out << " " << u.name;
    if (u.flags & quellin::kUnitPackage) out << " (package unit)";
    if (u.flags & quellin::kUnitRegisters) out << " (registers)";
  }
  out << "\n";
}

void Options(std::ostream& out, Bytes b) {
  std::string error;
  auto options = quellin::ParsePackageOptions(b.data(), b.size(), &error);
  if (b.empty()) {
    out << "package options: none\n";
  } else if (!options) {
    out << "package options: unreadable (" << error << ")\n";
  } else {
    out << "package options: built for VCL " << options->library_version;
    if (options->flags & quellin::kOptionExplicitBuild) out << ", explicit build";
    if (options->flags & quellin::kOptionVersionInfo) out << ", version info";
    if (options->flags & quellin::kOptionMainIcon) out << ", main icon";
    out << "\n";
  }
}

constexpr std::uint8_t kStandardPalette[16][3] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};
constexpr const char* kColourNames[16] = {
    "black", "dark red", "dark green", "olive",  "navy", "purple",  "teal", "light grey",
    "grey",  "red",      "green",      "yellow", "blue", "magenta", "cyan", "white"};

// A device-independent picture's header and palette, in words; the top-left pixel's colour
// stands for the background.
void Picture(std::ostream& out, Bytes b, bool icon) {
  if (b.size() < 40 || U32(b, 0) != 40) {
    out << "unreadable (no 40-byte picture header)\n";
    return;
  }
  const std::int32_t width = static_cast<std::int32_t>(U32(b, 4));
  std::int32_t height = static_cast<std::int32_t>(U32(b, 8));
  if (icon) height /= 2;  // an icon stores its colour and mask halves as one picture
  const unsigned bits = U16(b, 14);
  const std::uint32_t compression = U32(b, 16);
  out << width << " x " << height << ", " << bits << " bits per pixel, "
      << (compression == 0 ? "uncompressed" : "compressed (" + std::to_string(compression) + ")");
  if (bits != 4 || width <= 0 || height <= 0 || b.size() < 40 + 64) {
    out << "\n";
    return;
  }
  bool standard = true;
  for (int i = 0; i < 16; ++i) {
    const std::size_t at = 40 + 4 * static_cast<std::size_t>(i);
    standard = standard && b[at] == kStandardPalette[i][2] && b[at + 1] == kStandardPalette[i][1] &&
               b[at + 2] == kStandardPalette[i][0] && b[at + 3] == 0;
  }
  out << ", " << (standard ? "standard 16-colour palette" : "own palette");
  const std::size_t row = ((static_cast<std::size_t>(width) * 4 + 31) / 32) * 4;
  const std::size_t top = 40 + 64 + row * static_cast<std::size_t>(height - 1);  // bottom-up rows
  if (!icon && top < b.size()) {
    const unsigned index = b[top] >> 4;
    out << ", background " << (standard ? kColourNames[index] : "") << " (index " << index << ")";
  }
  out << "\n";
}

void Bitmap(std::ostream& out, win32::HMODULE module, const char* name) {
  out << "bitmap " << name << ": ";
  Bytes b = Read(module, name, win32::RT_BITMAP);
  if (b.empty()) {
    out << "none\n";
    return;
  }
  Picture(out, b, false);
}

void IconGroup(std::ostream& out, win32::HMODULE module) {
  Bytes group = Read(module, "MAINICON", win32::RT_GROUP_ICON);
  out << "icon group MAINICON: ";
  if (group.empty()) {
    out << "none\n";
    return;
  }
  if (group.size() < 6 || U16(group, 2) != 1 || group.size() < 6 + 14u * U16(group, 4)) {
    out << "unreadable (not an icon directory)\n";
    return;
  }
  const unsigned count = U16(group, 4);
  out << count << (count == 1 ? " icon\n" : " icons\n");
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t at = 6 + 14 * static_cast<std::size_t>(i);
    const unsigned w = group[at] ? group[at] : 256, h = group[at + 1] ? group[at + 1] : 256;
    const unsigned colours = group[at + 2];
    const unsigned id = U16(group, at + 12);
    out << "  icon " << id << ": " << w << " x " << h << ", "
        << (colours ? std::to_string(colours) + " colours" : "more than 256 colours") << "; ";
    Bytes icon =
        Read(module, win32::MAKEINTRESOURCEA(static_cast<win32::WORD>(id)), win32::RT_ICON);
    if (icon.empty()) {
      out << "image missing\n";
    } else {
      Picture(out, icon, true);
    }
  }
}

void Version(std::ostream& out, win32::HMODULE module) {
  Bytes b = Read(module, win32::MAKEINTRESOURCEA(1), win32::RT_VERSION);
  out << "version: ";
  if (b.empty()) {
    out << "none\n";
    return;
  }
  std::string error;
  auto info = win32::ParseVersionInfo(b.data(), b.size(), &error);
  if (!info) {
    out << "unreadable (" << error << ")\n";
    return;
  }
  const auto& f = info->fixed;
  out << "file " << Dotted(f.dwFileVersionMS, f.dwFileVersionLS) << ", product "
      << Dotted(f.dwProductVersionMS, f.dwProductVersionLS) << "\n"
      << "  flags mask " << Hex(f.dwFileFlagsMask, 2) << ", flags " << Hex(f.dwFileFlags, 2)
      << ", OS " << Hex(f.dwFileOS, 8) << ", type " << f.dwFileType << ", subtype "
      << f.dwFileSubtype << "\n";
  for (const auto& table : info->string_tables) {
    out << "  strings " << table.language_codepage << ":\n";
    for (const auto& [key, value] : table.strings) out << "    " << key << ": " << value << "\n";
  }
  for (const auto& [language, codepage] : info->translations) {
    out << "  translation " << Hex(language, 4) << " " << Hex(codepage, 4) << "\n";
  }
}

}  // namespace

void PrintResources(std::ostream& out, win32::HMODULE module,
                    const std::vector<std::string>& classNames) {
  Description(out, Read(module, "DESCRIPTION", win32::RT_RCDATA));
  Info(out, Read(module, "PACKAGEINFO", win32::RT_RCDATA));
  Options(out, Read(module, "PACKAGEOPTIONS", win32::RT_RCDATA));
  for (std::string name : classNames) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Bitmap(out, module, name.c_str());
  }
  IconGroup(out, module);
  Version(out, module);
}

}  // namespace pkghost
