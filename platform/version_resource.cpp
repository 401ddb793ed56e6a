#include "platform/version_resource.h"

#include <cstdint>
#include <cstring>

namespace win32 {

namespace {

constexpr std::size_t kHeaderBytes = 6;
constexpr std::size_t kMaxDepth = 16;  // the real tree is three deep; this bounds hostile input

std::size_t Align4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

WORD Word(const BYTE* p) {
  return static_cast<WORD>(p[0] | (p[1] << 8));
}

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

class Reader {
 public:
  Reader(const BYTE* base, std::string* error) : base_(base), error_(error) {}

  std::optional<VersionBlock> Block(std::size_t start, std::size_t limit, std::size_t depth) {
    if (depth > kMaxDepth) return Fail(start, "blocks nested too deep");
    if (start + kHeaderBytes > limit) return Fail(start, "block header runs past its parent");
    VersionBlock b;
    b.offset = start;
    b.length = Word(base_ + start);
    b.value_length = Word(base_ + start + 2);
    b.type = Word(base_ + start + 4);
    const std::size_t end = start + b.length;
    if (b.length < kHeaderBytes || end > limit) return Fail(start, "block length overruns");
    if (b.type > 1) return Fail(start, "block type is neither text nor binary");

    std::size_t pos = start + kHeaderBytes;
    std::size_t key_units = 0;
    for (;; ++key_units, pos += 2) {
      if (pos + 2 > end) return Fail(start, "key has no terminator");
      if (Word(base_ + pos) == 0) break;
    }
    b.key = Utf16LeToUtf8(base_ + start + kHeaderBytes, key_units);
    pos += 2;

    const std::size_t value_bytes = b.type == 1 ? std::size_t{b.value_length} * 2 : b.value_length;
    if (value_bytes == 0 && Align4(pos) >= end) {  // a bare key: no room need be kept for padding
      if (!Padding(pos, end, end)) return std::nullopt;
      return b;
    }
    if (!Padding(pos, Align4(pos), end)) return std::nullopt;
    pos = Align4(pos);
    if (pos + value_bytes > end) return Fail(start, "value overruns its block");
    b.value_offset = pos;
    b.value.assign(base_ + pos, base_ + pos + value_bytes);
    pos += value_bytes;

    while (pos < end) {
      std::size_t child = Align4(pos);
      if (!Padding(pos, child, end)) return std::nullopt;
      if (child >= end) break;
      auto c = Block(child, end, depth + 1);
      if (!c) return std::nullopt;
      pos = child + c->length;
      b.children.push_back(std::move(*c));
    }
    return b;
  }

  bool Padding(std::size_t from, std::size_t to, std::size_t end) {
    for (std::size_t i = from; i < to && i < end; ++i) {
      if (base_[i] != 0) {
        Fail(i, "padding is not zero");
        return false;
      }
    }
    return true;
  }

  std::nullopt_t Fail(std::size_t at, const char* why) {
    if (error_ != nullptr) *error_ = std::string(why) + " at offset " + std::to_string(at);
    return std::nullopt;
  }

 private:
  const BYTE* base_;
  std::string* error_;
};

std::optional<VersionInfo> Refuse(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return std::nullopt;
}

}  // namespace

std::string Utf16LeToUtf8(const BYTE* units, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = Word(units + 2 * i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
      std::uint32_t low = Word(units + 2 * (i + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
        AppendUtf8(out, c);
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    AppendUtf8(out, c);
  }
  return out;
}

std::string VersionBlock::Text() const {
  std::size_t units = 0;
  while (units * 2 + 1 < value.size() && Word(value.data() + units * 2) != 0) ++units;
  return Utf16LeToUtf8(value.data(), units);
}

const VersionBlock* VersionBlock::Child(std::string_view child_key) const {
  for (const auto& c : children) {
    if (c.key == child_key) return &c;
  }
  return nullptr;
}

const std::string* VersionStringTable::Find(std::string_view key) const {
  for (const auto& [k, v] : strings) {
    if (k == key) return &v;
  }
  return nullptr;
}

std::optional<VersionBlock> ParseVersionBlock(const void* data, std::size_t size,
                                              std::string* error) {
  if (data == nullptr) {
    if (error != nullptr) *error = "no data";
    return std::nullopt;
  }
  Reader reader(static_cast<const BYTE*>(data), error);
  return reader.Block(0, size, 0);
}

std::optional<VersionInfo> ParseVersionInfo(const void* data, std::size_t size,
                                            std::string* error) {
  auto root = ParseVersionBlock(data, size, error);
  if (!root) return std::nullopt;
  if (root->key != "VS_VERSION_INFO") return Refuse(error, "root block is not VS_VERSION_INFO");
  if (root->type != 0 || root->value.size() != sizeof(VS_FIXEDFILEINFO)) {
    return Refuse(error, "fixed file information has the wrong size");
  }
  VersionInfo info;
  std::memcpy(&info.fixed, root->value.data(), sizeof info.fixed);
  if (info.fixed.dwSignature != VS_FFI_SIGNATURE) {
    return Refuse(error, "fixed file information has the wrong signature");
  }
  for (const auto& part : root->children) {
    if (part.key == "StringFileInfo") {
      for (const auto& table : part.children) {
        VersionStringTable t;
        t.language_codepage = table.key;
        for (const auto& s : table.children) {
          if (s.type != 1) return Refuse(error, "string " + s.key + " is not text");
          t.strings.emplace_back(s.key, s.Text());
        }
        info.string_tables.push_back(std::move(t));
      }
    } else if (part.key == "VarFileInfo") {
      for (const auto& var : part.children) {
        if (var.key != "Translation") continue;
        if (var.value.size() % 4 != 0) return Refuse(error, "translation list is ragged");
        for (std::size_t i = 0; i < var.value.size(); i += 4) {
          info.translations.emplace_back(Word(var.value.data() + i),
                                         Word(var.value.data() + i + 2));
        }
      }
    }
  }
  return info;
}

}  // namespace win32
