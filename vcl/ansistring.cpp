#include "vcl/ansistring.h"

#include <charconv>
#include <ostream>

#include "vcl/sysutils.h"

namespace vcl {

namespace {

[[noreturn]] void ThrowIndex(int index, int length) {
  throw ERangeError("String index " + IntToStr(index) + " out of range 1.." + IntToStr(length));
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

char& AnsiString::operator[](int index) {
  if (index < 1 || index > Length()) ThrowIndex(index, Length());
  return s_[static_cast<std::size_t>(index - 1)];
}

char AnsiString::operator[](int index) const {
  if (index < 1 || index > Length()) ThrowIndex(index, Length());
  return s_[static_cast<std::size_t>(index - 1)];
}

AnsiString AnsiString::SubString(int index, int count) const {
  if (index < 1) {
    count += index - 1;
    index = 1;
  }
  if (count <= 0 || index > Length()) return AnsiString();
  return AnsiString(s_.substr(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(count)));
}

int AnsiString::Pos(const AnsiString& sub) const {
  if (sub.IsEmpty()) return 0;
  std::size_t at = s_.find(sub.s_);
  return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

AnsiString AnsiString::UpperCase() const {
  std::string r = s_;
  for (char& c : r) c = AsciiUpper(c);
  return AnsiString(std::move(r));
}

AnsiString AnsiString::LowerCase() const {
  std::string r = s_;
  for (char& c : r) c = AsciiLower(c);
  return AnsiString(std::move(r));
}

AnsiString AnsiString::Trim() const {
  std::size_t b = 0, e = s_.size();
  while (b < e && static_cast<unsigned char>(s_[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s_[e - 1]) <= ' ') --e;
  return AnsiString(s_.substr(b, e - b));
}

int AnsiString::ToInt() const {
  std::string t = Trim().str();
  int value = 0;
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  if (t.empty() || ec != std::errc() || end != last) {
    throw EConvertError("'" + *this + "' is not a valid integer value");
  }
  return value;
}

int AnsiString::ToIntDef(int fallback) const {
  try {
    return ToInt();
  } catch (const EConvertError&) {
    return fallback;
  }
}

std::ostream& operator<<(std::ostream& out, const AnsiString& s) {
  return out.write(s.data(), static_cast<std::streamsize>(s.Length()));
}

AnsiString IntToStr(std::int64_t value) { return AnsiString(std::to_string(value)); }
AnsiString UIntToStr(std::uint64_t value) { return AnsiString(std::to_string(value)); }

AnsiString StringOfChar(char c, int count) {
  return AnsiString(std::string(count > 0 ? static_cast<std::size_t>(count) : 0, c));
}

bool SameText(const AnsiString& a, const AnsiString& b) {
  if (a.Length() != b.Length()) return false;
  for (int i = 0; i < a.Length(); ++i) {
    if (AsciiLower(a.data()[i]) != AsciiLower(b.data()[i])) return false;
  }
  return true;
}

EReadError::EReadError(int line, const AnsiString& message)
    : EFilerError(line > 0 ? "Line " + IntToStr(line) + ": " + message : message), Line(line) {}

}  // namespace vcl
