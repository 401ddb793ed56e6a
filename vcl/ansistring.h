// AnsiString: the runtime's 8-bit string. Binary safe (any byte, zeros included), value
// semantics, no code-page or line-end conversion. Indexing is 1-based as in the VCL.
#pragma once

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace vcl {

class AnsiString {
 public:
  AnsiString() = default;
  // A C string up to its first zero byte; null gives the empty string.
  AnsiString(const char* text) : s_(text ? text : "") {}
  // Exactly `length` bytes from `data`, zero bytes included.
  // A negative length gives the empty string.
  template <std::integral N>
  AnsiString(const char* data, N length)
      : s_(data && length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string()) {}
  AnsiString(const std::string& text) : s_(text) {}
  AnsiString(std::string&& text) : s_(std::move(text)) {}
  explicit AnsiString(std::string_view text) : s_(text) {}

  // A pointer to the bytes followed by a zero byte; never null.
  const char* c_str() const { return s_.c_str(); }
  const char* data() const { return s_.data(); }
  int Length() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void SetLength(int length) { s_.resize(length > 0 ? static_cast<std::size_t>(length) : 0); }

  // 1-based; an index outside 1..Length() throws ERangeError.
  char& operator[](int index);
  char operator[](int index) const;

  // The count bytes from the 1-based index on (clipped to the string).
  AnsiString SubString(int index, int count) const;
  // 1-based position of the first occurrence of sub, 0 if there is none (or sub is empty).
  int Pos(const AnsiString& sub) const;
  AnsiString UpperCase() const;  // ASCII letters only
  AnsiString LowerCase() const;
  AnsiString Trim() const;  // bytes up to ' ' at both ends
  int ToInt() const;  // throws EConvertError when the text is not a 32-bit integer
  int ToIntDef(int fallback) const;

  AnsiString& operator+=(const AnsiString& other) {
    s_ += other.s_;
    return *this;
  }
  AnsiString& operator+=(char c) {
    s_ += c;
    return *this;
  }

  const std::string& str() const { return s_; }
  operator std::string() const { return s_; }
  std::string_view view() const { return s_; }

  friend AnsiString operator+(const AnsiString& a, const AnsiString& b) { return AnsiString(a.s_ + b.s_); }
  friend bool operator==(const AnsiString& a, const AnsiString& b) { return a.s_ == b.s_; }
  // Byte-wise (unsigned) ordering.
  friend std::strong_ordering operator<=>(const AnsiString& a, const AnsiString& b) {
    int c = a.s_.compare(b.s_);
    return c < 0 ? std::strong_ordering::less
                 : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
  }

 private:
  std::string s_;
};

// Writes every byte of the string.
std::ostream& operator<<(std::ostream& out, const AnsiString& s);

AnsiString IntToStr(std::int64_t value);
AnsiString UIntToStr(std::uint64_t value);
AnsiString StringOfChar(char c, int count);
// Case-insensitive comparison of ASCII letters (identifiers, property and class names).
bool SameText(const AnsiString& a, const AnsiString& b);

}  // namespace vcl

template <>
struct std::hash<vcl::AnsiString> {
  std::size_t operator()(const vcl::AnsiString& s) const noexcept {
    return std::hash<std::string>()(s.str());
  }
};
