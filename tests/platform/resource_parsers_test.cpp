// The readers refuse damaged records: each case takes a real resource, breaks one rule of its
// layout, and expects a refusal with a reason.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/package_info.h"
#include "platform/resource.h"
#include "platform/version_resource.h"
#include "tests/platform/resource_support.h"

namespace {

using quellin::test::Bytes;
using quellin::test::Module;
using quellin::test::ReadResource;

// A 32-bit aligned copy that a case may change and shorten or lengthen.
struct Record {
  explicit Record(Bytes b) : size(b.size()), words((b.size() + 8) / 4 + 1, 0) {
    if (!b.empty()) std::memcpy(words.data(), b.data(), b.size());
  }
  std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words.data()); }
  void Put16(std::size_t at, std::uint16_t v) {
    bytes()[at] = static_cast<std::uint8_t>(v);
    bytes()[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  std::size_t size;
  std::vector<std::uint32_t> words;
};

struct Damage {
  const char* what;
  std::function<void(Record&)> apply;
};

using Parse = std::function<bool(const void*, std::size_t, std::string*)>;

void ExpectRefused(Bytes original, const Parse& parse, const std::vector<Damage>& cases) {
  ASSERT_FALSE(original.empty());
  {
    Record intact(original);
    std::string error;
    EXPECT_TRUE(parse(intact.bytes(), intact.size, &error)) << error;
  }
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    Record r(original);
    d.apply(r);
    std::string error;
    EXPECT_FALSE(parse(r.bytes(), r.size, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(ResourceReaders, RefuseADamagedVersionRecord) {
  Module m(QUELLIN_FIXTURE_QUELLIN50);
  Bytes original = ReadResource(m, win32::MAKEINTRESOURCEA(1), win32::RT_VERSION);
  // Offsets: the root key "VS_VERSION_INFO" fills 6..37, padding 38..39, the fixed part 40..91,
  // and the first child (StringFileInfo) starts at 92.
  const std::vector<Damage> cases = {
      {"root longer than the data",
       [](Record& r) { r.Put16(0, static_cast<std::uint16_t>(r.size + 4)); }},
      {"data cut short", [](Record& r) { r.size -= 4; }},
      {"root ends inside its key", [](Record& r) { r.Put16(0, 20); }},
      {"root of unknown type", [](Record& r) { r.Put16(4, 2); }},
      {"padding after the key not zero", [](Record& r) { r.bytes()[38] = 1; }},
      {"fixed part signature", [](Record& r) { r.bytes()[40] ^= 1; }},
      {"fixed part of the wrong length", [](Record& r) { r.Put16(2, 48); }},
      {"child overruns its parent", [](Record& r) { r.Put16(92, 0xFFFF); }},
      {"child shorter than a header", [](Record& r) { r.Put16(92, 4); }},
      {"root renamed", [](Record& r) { r.bytes()[6] = 'W'; }},
  };
  ExpectRefused(
      original,
      [](const void* d, std::size_t n, std::string* e) {
        return win32::ParseVersionInfo(d, n, e).has_value();
      },
      cases);
}

TEST(ResourceReaders, RefuseDamagedPackageRecords) {
  Module m(QUELLIN_FIXTURE_QUELLIN40);
  ExpectRefused(ReadResource(m, "DESCRIPTION", win32::RT_RCDATA),
                [](const void* d, std::size_t n, std::string* e) {
                  return quellin::ParsePackageDescription(d, n, e).has_value();
                },
                {
                    {"no terminator", [](Record& r) { std::memset(r.bytes(), 'A', r.size); }},
                    {"padding not zero", [](Record& r) { r.bytes()[r.size - 1] = 1; }},
                    {"padded too far", [](Record& r) { r.size += 4; }},
                    {"not a multiple of 4", [](Record& r) { r.size -= 1; }},
                });
  ExpectRefused(ReadResource(m, "PACKAGEINFO", win32::RT_RCDATA),
                [](const void* d, std::size_t n, std::string* e) {
                  return quellin::ParsePackageInfo(d, n, e).has_value();
                },
                {
                    {"unknown format", [](Record& r) { r.bytes()[0] = 2; }},
                    {"unknown package flag", [](Record& r) { r.bytes()[4] |= 4; }},
                    {"empty package name", [](Record& r) { r.bytes()[12] = 0; }},
                    {"name without terminator", [](Record& r) { r.bytes()[18] = 'X'; }},
                    {"unknown unit flag", [](Record& r) { r.bytes()[23] |= 0x80; }},
                    {"cut short", [](Record& r) { r.size -= 4; }},
                    {"trailing bytes", [](Record& r) { r.size += 4; }},
                    {"padding not zero", [](Record& r) { r.bytes()[r.size - 1] = 1; }},
                });
  ExpectRefused(ReadResource(m, "PACKAGEOPTIONS", win32::RT_RCDATA),
                [](const void* d, std::size_t n, std::string* e) {
                  return quellin::ParsePackageOptions(d, n, e).has_value();
                },
                {
                    {"unknown format", [](Record& r) { r.bytes()[0] = 2; }},
                    {"unknown flag", [](Record& r) { r.bytes()[11] = 0x80; }},
                    {"reserved not zero", [](Record& r) { r.bytes()[12] = 1; }},
                    {"wrong size", [](Record& r) { r.size += 4; }},
                });
}

}  // namespace
