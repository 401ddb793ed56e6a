#include "platform/package_info.h"

#include "platform/version_resource.h"

namespace quellin {

namespace {

using Bytes = const unsigned char*;

std::nullopt_t Refuse(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return std::nullopt;
}

std::size_t Align4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

class Cursor {
 public:
  Cursor(Bytes data, std::size_t size) : data_(data), size_(size) {}

  bool U8(std::uint8_t& v) {
    if (pos_ + 1 > size_) return false;
    v = data_[pos_++];
    return true;
  }
  bool U32(std::uint32_t& v) {
    if (pos_ + 4 > size_) return false;
    v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | data_[pos_ + static_cast<std::size_t>(i)];
    pos_ += 4;
    return true;
  }
  bool Name(std::string& out) {
    std::uint8_t n = 0;
    if (!U8(n) || n == 0 || pos_ + n + 1 > size_) return false;
    out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    if (out.find('\0') != std::string::npos || data_[pos_] != 0) return false;
    ++pos_;
    return true;
  }
  // Only zero bytes up to the next multiple of 4, and nothing after them.
  bool PaddedEnd() const {
    if (size_ != Align4(pos_)) return false;
    for (std::size_t i = pos_; i < size_; ++i) {
      if (data_[i] != 0) return false;
    }
    return true;
  }

 private:
  Bytes data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::string> ParsePackageDescription(const void* data, std::size_t size,
                                                   std::string* error) {
  if (data == nullptr) return Refuse(error, "no data");
  auto bytes = static_cast<Bytes>(data);
  std::size_t units = 0;
  for (;; ++units) {
    if (2 * units + 2 > size) return Refuse(error, "description has no terminator");
    if (bytes[2 * units] == 0 && bytes[2 * units + 1] == 0) break;
  }
  const std::size_t used = 2 * units + 2;
  if (size != Align4(used)) return Refuse(error, "description is not padded to 4 bytes");
  for (std::size_t i = used; i < size; ++i) {
    if (bytes[i] != 0) return Refuse(error, "description padding is not zero");
  }
  return win32::Utf16LeToUtf8(bytes, units);
}

std::optional<PackageInfo> ParsePackageInfo(const void* data, std::size_t size,
                                            std::string* error) {
  if (data == nullptr) return Refuse(error, "no data");
  Cursor in(static_cast<Bytes>(data), size);
  std::uint32_t format = 0;
  PackageInfo info;
  if (!in.U32(format) || format != kPackageInfoFormat) {
    return Refuse(error, "unknown package information format");
  }
  if (!in.U32(info.flags) || (info.flags & ~(kPackageDesignTime | kPackageRunTime)) != 0) {
    return Refuse(error, "bad package flags");
  }
  std::uint32_t count = 0;
  if (!in.U32(count) || count > size) return Refuse(error, "bad count of required packages");
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (!in.Name(name)) return Refuse(error, "bad name of required package " + std::to_string(i));
    info.required_packages.push_back(std::move(name));
  }
  if (!in.U32(count) || count > size) return Refuse(error, "bad count of units");
  for (std::uint32_t i = 0; i < count; ++i) {
    PackageUnit unit;
    if (!in.U8(unit.flags) || (unit.flags & ~(kUnitPackage | kUnitRegisters)) != 0) {
      return Refuse(error, "bad flags of unit " + std::to_string(i));
    }
    if (!in.Name(unit.name)) return Refuse(error, "bad name of unit " + std::to_string(i));
    info.units.push_back(std::move(unit));
  }
  if (!in.PaddedEnd()) return Refuse(error, "package information does not end as laid out");
  return info;
}

std::optional<PackageOptions> ParsePackageOptions(const void* data, std::size_t size,
                                                  std::string* error) {
  if (data == nullptr) return Refuse(error, "no data");
  if (size != kPackageOptionsSize) return Refuse(error, "package options have the wrong size");
  Cursor in(static_cast<Bytes>(data), size);
  std::uint32_t format = 0;
  std::uint32_t reserved = 0;
  PackageOptions options;
  in.U32(format);
  in.U32(options.library_version);
  in.U32(options.flags);
  in.U32(reserved);
  if (format != kPackageOptionsFormat) return Refuse(error, "unknown package options format");
  if ((options.flags & ~(kOptionExplicitBuild | kOptionVersionInfo | kOptionMainIcon)) != 0 ||
      reserved != 0) {
    return Refuse(error, "package options carry unknown bits");
  }
  return options;
}

}  // namespace quellin
