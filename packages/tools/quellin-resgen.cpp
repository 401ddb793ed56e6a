// quellin-resgen: builds the Windows resources of one package build and writes them out as a
// C++ source whose resource table the library exports (see platform/resource.h).
//
//   quellin-resgen <quellin50|quellin40|QuellinObj> <output.cpp>
//   quellin-resgen <quellin50|quellin40|QuellinObj> --preview   (the pictures, as text)
//
// Everything is produced here, byte for byte, from the per-build constants below: the
// description, the package information and options records (layouts in
// platform/package_info.h), the palette bitmap, the icon and its group, and the version record.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/package_info.h"
#include "platform/resource.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Build {
  std::string_view name;
  std::string_view description;
  std::string_view required_package;
  std::string_view package_unit;
  std::uint32_t library_version;
  bool has_version_and_icon;
  std::string_view comments;
};

constexpr std::string_view kComponentUnit = "Quellin";

constexpr Build kBuilds[] = {
    {"quellin50", "Quellin Communication Components", "VCL50", "Quellin50", 5, true, ""},
    {"quellin40", "Quellin Communication Components", "VCL40", "Quellin40", 4, true,
     "https://dovrane.example/"},
    {"QuellinObj", "Quellin Standard Edition", "VCL35", "Quellinobj", 3, false, ""},
};

// ---- Little-endian byte writer ---------------------------------------------------------------

class Writer {
 public:
  void U8(std::uint32_t v) { b_.push_back(static_cast<std::uint8_t>(v)); }
  void U16(std::uint32_t v) {
    U8(v);
    U8(v >> 8);
  }
  void U32(std::uint32_t v) {
    U16(v);
    U16(v >> 16);
  }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  // ASCII only: every text this tool writes is ASCII, so a code unit is a byte.
  void Utf16z(std::string_view text) {
    for (char c : text) U16(static_cast<std::uint8_t>(c));
    U16(0);
  }
  void Align4() {
    while (b_.size() % 4 != 0) U8(0);
  }
  void Patch16(std::size_t at, std::size_t v) {
    b_[at] = static_cast<std::uint8_t>(v);
    b_[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void Append(const Bytes& more) { b_.insert(b_.end(), more.begin(), more.end()); }
  std::size_t Size() const { return b_.size(); }
  Bytes Take() { return std::move(b_); }

 private:
  Bytes b_;
};

// ---- Description, package information, package options ----------------------------------------

Bytes Description(const Build& build) {
  Writer w;
  w.Utf16z(build.description);
  w.Align4();
  return w.Take();
}

void Name(Writer& w, std::string_view name) {
  w.U8(static_cast<std::uint32_t>(name.size()));
  for (char c : name) w.U8(static_cast<std::uint8_t>(c));
  w.U8(0);
}

Bytes PackageInfo(const Build& build) {
  Writer w;
  w.U32(quellin::kPackageInfoFormat);
  w.U32(quellin::kPackageDesignTime | quellin::kPackageRunTime);
  w.U32(1);
  Name(w, build.required_package);
  w.U32(2);
  w.U8(quellin::kUnitPackage);
  Name(w, build.package_unit);
  w.U8(quellin::kUnitRegisters);
  Name(w, kComponentUnit);
  w.Align4();
  return w.Take();
}

Bytes PackageOptions(const Build& build) {
  std::uint32_t flags = quellin::kOptionExplicitBuild;
  if (build.has_version_and_icon) flags |= quellin::kOptionVersionInfo | quellin::kOptionMainIcon;
  Writer w;
  w.U32(quellin::kPackageOptionsFormat);
  w.U32(build.library_version);
  w.U32(flags);
  w.U32(0);
  return w.Take();
}

// ---- Pictures ------------------------------------------------------------------------------

// The 16 colours every 4-bit picture here uses, as red, green, blue.
// clang-format off
constexpr std::uint8_t kPalette[16][3] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
    {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
};
// clang-format on
enum Colour : std::uint8_t {
  kBlack = 0,
  kNavy = 4,
  kLightGrey = 7,
  kGrey = 8,
  kYellow = 11,
  kWhite = 15
};
constexpr std::uint8_t kClear = 0xFF;  // icon pixels the AND mask lets the screen show through

struct Canvas {
  int width;
  int height;
  std::vector<std::uint8_t> pixels;  // top row first

  Canvas(int w, int h, std::uint8_t background)
      : width(w), height(h), pixels(static_cast<std::size_t>(w * h), background) {}
  std::uint8_t& At(int x, int y) { return pixels[static_cast<std::size_t>(y * width + x)]; }
  void Fill(int x0, int y0, int x1, int y1, std::uint8_t c) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) At(x, y) = c;
  }
};

// A DB9 connector seen from its mating face: a flange with two screw holes, the D-shaped shell
// (wide edge up) and its pins, five over four. Every measure is symmetric about column `axis`.
struct ConnectorLayout {
  int axis;
  int flange_left, flange_top, flange_bottom;
  int hole_inset, hole_top, hole_size;
  int shell_top, shell_bottom, shell_top_half, shell_bottom_half;
  int pin_pitch, pin_half_width, pin_height, upper_pins_top, lower_pins_top;
};

void DrawConnector(Canvas& c, const ConnectorLayout& l) {
  const int right = 2 * l.axis - l.flange_left;
  c.Fill(l.flange_left, l.flange_top, right, l.flange_bottom, kBlack);
  c.Fill(l.flange_left + 1, l.flange_top + 1, right - 1, l.flange_bottom - 1, kGrey);
  const int hole_left = l.flange_left + l.hole_inset;
  const int hole_right = 2 * l.axis - hole_left - (l.hole_size - 1);
  for (int x : {hole_left, hole_right}) {
    c.Fill(x, l.hole_top, x + l.hole_size - 1, l.hole_top + l.hole_size - 1, kBlack);
  }
  // The shell narrows evenly from its top edge to its bottom edge.
  const int rows = l.shell_bottom - l.shell_top;
  for (int y = l.shell_top; y <= l.shell_bottom; ++y) {
    const int step = l.shell_top_half - l.shell_bottom_half;
    const int half = l.shell_top_half - (step * (y - l.shell_top) + rows / 2) / rows;
    const bool edge_row = y == l.shell_top || y == l.shell_bottom;
    c.Fill(l.axis - half, y, l.axis + half, y, edge_row ? kWhite : kNavy);
    c.At(l.axis - half, y) = kWhite;
    c.At(l.axis + half, y) = kWhite;
  }
  auto pins = [&](int count, int top) {
    for (int i = 0; i < count; ++i) {
      const int centre = l.axis + (2 * i - (count - 1)) * l.pin_pitch / 2;
      c.Fill(centre - l.pin_half_width, top, centre + l.pin_half_width, top + l.pin_height - 1,
             kYellow);
    }
  };
  pins(5, l.upper_pins_top);
  pins(4, l.lower_pins_top);
}

// 24 x 24: columns 0..22 carry the picture, one-pixel pins two rows high.
// clang-format off
constexpr ConnectorLayout kPaletteLayout = {
    .axis = 11, .flange_left = 0, .flange_top = 6, .flange_bottom = 17,
    .hole_inset = 2, .hole_top = 11, .hole_size = 2,
    .shell_top = 8, .shell_bottom = 15, .shell_top_half = 7, .shell_bottom_half = 5,
    .pin_pitch = 2, .pin_half_width = 0, .pin_height = 2, .upper_pins_top = 10,
    .lower_pins_top = 13};
// 32 x 32: columns 0..30 carry the picture, three-pixel square pins.
constexpr ConnectorLayout kIconLayout = {
    .axis = 15, .flange_left = 0, .flange_top = 7, .flange_bottom = 24,
    .hole_inset = 1, .hole_top = 14, .hole_size = 3,
    .shell_top = 10, .shell_bottom = 21, .shell_top_half = 11, .shell_bottom_half = 9,
    .pin_pitch = 4, .pin_half_width = 1, .pin_height = 3, .upper_pins_top = 12,
    .lower_pins_top = 17};
// clang-format on

Canvas PaletteBitmapPicture() {
  Canvas c(24, 24, kLightGrey);
  DrawConnector(c, kPaletteLayout);
  return c;
}

Canvas IconPicture() {
  Canvas c(32, 32, kClear);
  DrawConnector(c, kIconLayout);
  return c;
}

std::size_t RowBytes(int width, int bits) {
  return ((static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 31) / 32) * 4;
}

void InfoHeader(Writer& w, int width, int height, std::uint32_t image_bytes) {
  w.U32(40);  // biSize
  w.I32(width);
  w.I32(height);
  w.U16(1);  // biPlanes
  w.U16(4);  // biBitCount
  w.U32(0);  // biCompression: BI_RGB
  w.U32(image_bytes);
  w.I32(0);   // biXPelsPerMeter
  w.I32(0);   // biYPelsPerMeter
  w.U32(16);  // biClrUsed
  w.U32(0);   // biClrImportant
  for (const auto& rgb : kPalette) {
    w.U8(rgb[2]);
    w.U8(rgb[1]);
    w.U8(rgb[0]);
    w.U8(0);
  }
}

// 4-bit rows, bottom row first, each padded to 32 bits. Clear pixels are stored as black, the
// value that leaves the screen untouched under a set AND bit.
void PixelRows(Writer& w, Canvas& c) {
  for (int y = c.height - 1; y >= 0; --y) {
    const std::size_t start = w.Size();
    for (int x = 0; x < c.width; x += 2) {
      auto colour = [&](int px) {
        if (px >= c.width) return std::uint8_t{0};
        std::uint8_t v = c.At(px, y);
        return v == kClear ? std::uint8_t{kBlack} : v;
      };
      w.U8(static_cast<std::uint32_t>(colour(x) << 4 | colour(x + 1)));
    }
    while (w.Size() - start < RowBytes(c.width, 4)) w.U8(0);
  }
}

Bytes PaletteBitmap() {
  Canvas c = PaletteBitmapPicture();
  Writer w;
  InfoHeader(w, c.width, c.height, static_cast<std::uint32_t>(RowBytes(c.width, 4) * 24));
  PixelRows(w, c);
  return w.Take();
}

// An icon image: the header gives twice the height because the 1-bit AND mask follows the
// colour rows.
Bytes Icon() {
  Canvas c = IconPicture();
  const std::size_t xor_bytes = RowBytes(c.width, 4) * static_cast<std::size_t>(c.height);
  const std::size_t and_bytes = RowBytes(c.width, 1) * static_cast<std::size_t>(c.height);
  Writer w;
  InfoHeader(w, c.width, 2 * c.height, static_cast<std::uint32_t>(xor_bytes + and_bytes));
  PixelRows(w, c);
  for (int y = c.height - 1; y >= 0; --y) {
    const std::size_t start = w.Size();
    for (int x = 0; x < c.width; x += 8) {
      std::uint32_t bits = 0;
      for (int b = 0; b < 8; ++b) {
        const bool clear = x + b >= c.width || c.At(x + b, y) == kClear;
        bits |= (clear ? 1u : 0u) << (7 - b);
      }
      w.U8(bits);
    }
    while (w.Size() - start < RowBytes(c.width, 1)) w.U8(0);
  }
  return w.Take();
}

constexpr std::uint16_t kIconId = 1;

Bytes IconGroup(const Bytes& icon) {
  Writer w;
  w.U16(0);  // reserved
  w.U16(1);  // resource type: icon
  w.U16(1);  // image count
  w.U8(32);  // width
  w.U8(32);  // height
  w.U8(16);  // colour count
  w.U8(0);   // reserved
  w.U16(1);  // planes
  w.U16(4);  // bits per pixel
  w.U32(static_cast<std::uint32_t>(icon.size()));
  w.U16(kIconId);
  return w.Take();
}

// ---- Version record ---------------------------------------------------------------------------

constexpr std::uint16_t kText = 1;
constexpr std::uint16_t kBinary = 0;

// Writes one block: header, key, then whatever body writes (value, children). Every block starts
// on a 32-bit boundary; its length stops at its own last byte, so trailing padding belongs to
// the parent.
template <class Body>
void VersionBlock(Writer& w, std::string_view key, std::uint16_t type, std::uint16_t value_length,
                  Body body) {
  w.Align4();
  const std::size_t start = w.Size();
  w.U16(0);
  w.U16(value_length);
  w.U16(type);
  w.Utf16z(key);
  body();
  w.Patch16(start, w.Size() - start);
}

void VersionString(Writer& w, std::string_view key, std::string_view value) {
  // The stored value keeps its terminator, and wValueLength counts it.
  VersionBlock(w, key, kText, static_cast<std::uint16_t>(value.size() + 1), [&] {
    w.Align4();
    w.Utf16z(value);
  });
}

Bytes VersionRecord(const Build& build) {
  constexpr std::uint32_t kVersionMS = (1u << 16) | 0u;  // 1.0
  constexpr std::uint32_t kVersionLS = (3u << 16) | 0u;  // .3.0
  Writer w;
  VersionBlock(w, "VS_VERSION_INFO", kBinary, 52, [&] {
    w.Align4();
    w.U32(0xFEEF04BDu);  // signature
    w.U32(0x00010000u);  // structure version
    w.U32(kVersionMS);   // file version
    w.U32(kVersionLS);
    w.U32(kVersionMS);  // product version
    w.U32(kVersionLS);
    w.U32(0x3Fu);        // flags mask
    w.U32(0);            // flags
    w.U32(0x00000004u);  // operating system: 32-bit Windows
    w.U32(1);            // file type
    w.U32(0);            // subtype
    w.U32(0);            // date
    w.U32(0);
    VersionBlock(w, "StringFileInfo", kText, 0, [&] {
      VersionBlock(w, "040904E4", kText, 0, [&] {
        VersionString(w, "CompanyName", "Dovrane");
        VersionString(w, "FileDescription", "Quellin");
        VersionString(w, "FileVersion", "1.0.3.0");
        VersionString(w, "InternalName", "");
        VersionString(w, "LegalCopyright", "");
        VersionString(w, "LegalTrademarks", "");
        VersionString(w, "OriginalFilename", "");
        VersionString(w, "ProductName", "");
        VersionString(w, "ProductVersion", "1.0.0.0");
        VersionString(w, "Comments", build.comments);
      });
    });
    VersionBlock(w, "VarFileInfo", kText, 0, [&] {
      VersionBlock(w, "Translation", kBinary, 4, [&] {
        w.Align4();
        w.U16(0x0409);  // US English
        w.U16(0x04E4);  // code page 1252
      });
    });
  });
  return w.Take();
}

// ---- Output ----------------------------------------------------------------------------------

struct Resource {
  std::string type_name;  // empty: type_id
  std::uint16_t type_id;
  std::string name;  // empty: name_id
  std::uint16_t name_id;
  Bytes data;
};

std::vector<Resource> Resources(const Build& build) {
  std::vector<Resource> out;
  out.push_back({"", win32::kRtRcdata, "DESCRIPTION", 0, Description(build)});
  out.push_back({"", win32::kRtRcdata, "PACKAGEINFO", 0, PackageInfo(build)});
  out.push_back({"", win32::kRtRcdata, "PACKAGEOPTIONS", 0, PackageOptions(build)});
  out.push_back({"", win32::kRtBitmap, "TQUELLIN", 0, PaletteBitmap()});
  if (build.has_version_and_icon) {
    Bytes icon = Icon();
    Bytes group = IconGroup(icon);
    out.push_back({"", win32::kRtIcon, "", kIconId, std::move(icon)});
    out.push_back({"", win32::kRtGroupIcon, "MAINICON", 0, std::move(group)});
    out.push_back({"", win32::kRtVersion, "", 1, VersionRecord(build)});
  }
  return out;
}

std::string Quoted(const std::string& text) {
  return text.empty() ? "nullptr" : "\"" + text + "\"";
}

std::string Source(const Build& build) {
  std::ostringstream s;
  s << "// Resources of the " << build.name << " package, written by quellin-resgen. Do not edit.\n"
    << "#include \"platform/resource.h\"\n\nnamespace {\n\n";
  const auto resources = Resources(build);
  for (std::size_t i = 0; i < resources.size(); ++i) {
    s << "alignas(8) const win32::BYTE data" << i << "[] = {";
    const Bytes& d = resources[i].data;
    for (std::size_t k = 0; k < d.size(); ++k) {
      s << (k % 16 == 0 ? "\n   " : "") << ' ' << static_cast<unsigned>(d[k]) << ',';
    }
    s << "\n};\n\n";
  }
  s << "const win32::ResourceEntry entries[] = {\n";
  for (std::size_t i = 0; i < resources.size(); ++i) {
    const Resource& r = resources[i];
    s << "    {" << Quoted(r.type_name) << ", " << Quoted(r.name) << ", " << r.type_id << ", "
      << r.name_id << ", win32::kLangEnglishUs, 0, " << r.data.size() << ", data" << i << "},\n";
  }
  s << "};\n\n}  // namespace\n\n"
    // Every library with resources exports the table under the same name, so libraries that
    // link one another hold several. The reader tells them apart by address; the explicit
    // section keeps AddressSanitizer from instrumenting the table and calling that an ODR
    // violation.
    << "extern \"C\" {\n"
    << "__attribute__((visibility(\"default\"))) extern const win32::ResourceDirectory "
    << win32::kResourceDirectorySymbol << ";\n"
    << "__attribute__((used, section(\".data.rel.ro.quellin_resources\")))\n"
    << "const win32::ResourceDirectory " << win32::kResourceDirectorySymbol << " = {\n"
    << "    win32::kResourceDirectoryMagic, win32::kResourceDirectoryLayout, " << resources.size()
    << ", entries};\n"
    << "}\n";
  return s.str();
}

void Preview(Canvas c) {
  static constexpr char kGlyph[] = "kRgoNpt.-rGYBMCW";
  for (int y = 0; y < c.height; ++y) {
    for (int x = 0; x < c.width; ++x) {
      std::uint8_t v = c.At(x, y);
      std::putchar(v == kClear ? ' ' : kGlyph[v]);
    }
    std::putchar('\n');
  }
  std::putchar('\n');
}

// Written beside the target and renamed over it, so an interrupted run leaves no half file that
// a later build would take for current.
bool Write(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: quellin-resgen <quellin50|quellin40|QuellinObj> <output.cpp>\n");
    return 2;
  }
  const Build* build = nullptr;
  for (const Build& b : kBuilds) {
    if (b.name == argv[1]) build = &b;
  }
  if (build == nullptr) {
    std::fprintf(stderr, "quellin-resgen: unknown package build '%s'\n", argv[1]);
    return 2;
  }
  if (std::string_view(argv[2]) == "--preview") {
    Preview(PaletteBitmapPicture());
    if (build->has_version_and_icon) Preview(IconPicture());
    return 0;
  }
  if (!Write(argv[2], Source(*build))) {
    std::fprintf(stderr, "quellin-resgen: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
