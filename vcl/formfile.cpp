#include "vcl/formfile.h"

#include <memory>
#include <string>
#include <vector>

namespace vcl {

namespace detail {
struct ComponentAccess {
  static void SetLoading(TComponent* c, bool on) {
    if (on) {
      c->FComponentState << csLoading;
    } else {
      c->FComponentState >> csLoading;
    }
  }
  static void Loaded(TComponent* c) { c->Loaded(); }
};
}  // namespace detail

namespace {

using detail::ComponentAccess;

// ---- Writing ------------------------------------------------------------------------------------

bool Printable(unsigned char c) { return c >= 32 && c < 127; }

void AppendQuoted(std::string& out, const AnsiString& bytes) {
  bool inQuote = false;
  for (int i = 0; i < bytes.Length(); ++i) {
    auto c = static_cast<unsigned char>(bytes.data()[i]);
    if (Printable(c)) {
      if (!inQuote) out += '\'';
      inQuote = true;
      out += static_cast<char>(c);
      if (c == '\'') out += '\'';
    } else {
      if (inQuote) out += '\'';
      inQuote = false;
      out += '#';
      out += std::to_string(c);
    }
  }
  if (inQuote) out += '\'';
}

void WriteObject(std::string& out, TComponent* c, int depth) {
  if (depth >= kMaxFormNesting) {
    throw EWriteError("Components nested deeper than " + IntToStr(kMaxFormNesting) + " levels cannot be written");
  }
  std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  AnsiString name = c->Name;
  out += indent + "object " + (name.IsEmpty() ? std::string() : name.str() + ": ") + c->ClassName().str() + "\n";
  for (const TPropInfo& p : c->ClassType()->Properties()) {
    if (IsDefaultPropValue(c, &p)) continue;
    out += indent + "  " + p.Name.str() + " = " + FormatPropertyValue(c, &p).str() + "\n";
  }
  for (int i = 0; i < c->ComponentCount; ++i) WriteObject(out, c->Components[i], depth + 1);
  out += indent + "end\n";
}

// ---- Reading: tokens ------------------------------------------------------------------------------

enum class Tok { End, Ident, Number, String, Symbol };

struct Token {
  Tok kind = Tok::End;
  int line = 1;
  std::string text;  // identifier, digits of a number, bytes of a string, the symbol
  bool hex = false;  // a $hex number
};

class Lexer {
 public:
  explicit Lexer(const AnsiString& text) : s_(text.str()) {}

  Token Next() {
    SkipSpace();
    Token t;
    t.line = line_;
    if (pos_ >= s_.size()) return t;
    char c = s_[pos_];
    if (IsIdentStart(c)) {
      t.kind = Tok::Ident;
      while (pos_ < s_.size() && (IsIdentStart(s_[pos_]) || IsDigit(s_[pos_]) || s_[pos_] == '.')) t.text += s_[pos_++];
    } else if (IsDigit(c)) {
      t.kind = Tok::Number;
      while (pos_ < s_.size() && IsDigit(s_[pos_])) t.text += s_[pos_++];
    } else if (c == '$') {
      ++pos_;
      t.kind = Tok::Number;
      t.hex = true;
      while (pos_ < s_.size() && IsHex(s_[pos_])) t.text += s_[pos_++];
      if (t.text.empty()) throw EParserError(line_, "hexadecimal digits expected after '$'");
    } else if (c == '\'' || c == '#') {
      t.kind = Tok::String;
      ReadString(t.text);
    } else if (std::string_view(":=+-[](){}<>,;").find(c) != std::string_view::npos) {
      t.kind = Tok::Symbol;
      t.text = std::string(1, c);
      ++pos_;
    } else {
      throw EParserError(line_, "invalid character #" + IntToStr(static_cast<unsigned char>(c)));
    }
    return t;
  }

 private:
  static bool IsIdentStart(char c) { return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

  void SkipSpace() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '\n') {
        ++line_;
      } else if (c != ' ' && c != '\t' && c != '\r') {
        return;
      }
      ++pos_;
    }
  }

  // Adjacent 'quoted' and #N parts form one string.
  void ReadString(std::string& bytes) {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '\'') {
        ++pos_;
        for (;;) {
          if (pos_ >= s_.size() || s_[pos_] == '\n' || s_[pos_] == '\r') {
            throw EParserError(line_, "unterminated string");
          }
          char d = s_[pos_++];
          if (d == '\'') {
            if (pos_ < s_.size() && s_[pos_] == '\'') {
              bytes += '\'';
              ++pos_;
            } else {
              break;
            }
          } else {
            bytes += d;
          }
        }
      } else if (c == '#') {
        ++pos_;
        std::string digits;
        bool hex = pos_ < s_.size() && s_[pos_] == '$';
        if (hex) ++pos_;
        while (pos_ < s_.size() && (hex ? IsHex(s_[pos_]) : IsDigit(s_[pos_])) && digits.size() < 8) {
          digits += s_[pos_++];
        }
        if (digits.empty()) throw EParserError(line_, "character code expected after '#'");
        unsigned long code = std::stoul(digits, nullptr, hex ? 16 : 10);
        if (code > 255 || (pos_ < s_.size() && (IsDigit(s_[pos_]) || (hex && IsHex(s_[pos_]))))) {
          throw EParserError(line_, "character code #" + AnsiString(digits) + " is not a byte (0..255)");
        }
        bytes += static_cast<char>(code);
      } else {
        return;
      }
    }
  }

  std::string s_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

// ---- Reading: syntax tree ------------------------------------------------------------------------

struct Value {
  Tok kind = Tok::End;  // Number, String or Ident
  int line = 0;
  std::string text;
  bool negative = false;
  bool hex = false;
};

struct PropNode {
  std::string name;
  int line = 0;
  Value value;
};

struct ObjNode {
  std::string name;
  std::string cls;
  int line = 0;
  std::vector<PropNode> props;
  std::vector<std::unique_ptr<ObjNode>> children;
};

bool Is(const Token& t, const char* keyword) { return t.kind == Tok::Ident && SameText(t.text, keyword); }
bool IsSym(const Token& t, char c) { return t.kind == Tok::Symbol && t.text[0] == c; }

AnsiString Describe(const Token& t) {
  switch (t.kind) {
    case Tok::End: return "end of file";
    case Tok::Ident: return "'" + AnsiString(t.text) + "'";
    case Tok::Number: return "number " + AnsiString(t.text);
    case Tok::String: return "a string";
    case Tok::Symbol: return "'" + AnsiString(t.text) + "'";
  }
  return "?";
}

class Parser {
 public:
  explicit Parser(const AnsiString& text) : lex_(text) { Advance(); }

  std::unique_ptr<ObjNode> ParseForm() {
    if (!Is(tok_, "object")) {
      if (Is(tok_, "inherited") || Is(tok_, "inline")) {
        throw EParserError(tok_.line, "'" + AnsiString(tok_.text) + "' forms are not supported");
      }
      throw EParserError(tok_.line, "'object' expected but " + Describe(tok_) + " found");
    }
    auto root = ParseObject(1);
    if (tok_.kind != Tok::End) throw EParserError(tok_.line, "end of file expected but " + Describe(tok_) + " found");
    return root;
  }

 private:
  void Advance() { tok_ = lex_.Next(); }

  std::string ExpectIdent(const char* what) {
    if (tok_.kind != Tok::Ident) throw EParserError(tok_.line, AnsiString(what) + " expected but " + Describe(tok_) + " found");
    std::string s = tok_.text;
    Advance();
    return s;
  }

  // At 'object'.
  std::unique_ptr<ObjNode> ParseObject(int depth) {
    if (depth > kMaxFormNesting) {
      throw EParserError(tok_.line, "objects nested deeper than " + IntToStr(kMaxFormNesting) + " levels");
    }
    auto node = std::make_unique<ObjNode>();
    node->line = tok_.line;
    Advance();
    std::string first = ExpectIdent("component name or class name");
    if (IsSym(tok_, ':')) {
      Advance();
      node->name = first;
      node->cls = ExpectIdent("class name");
    } else {
      node->cls = first;
    }
    for (;;) {
      if (tok_.kind == Tok::End) {
        throw EParserError(tok_.line, "unexpected end of file: 'end' expected for the object started at line " +
                                          IntToStr(node->line));
      }
      if (Is(tok_, "end")) {
        Advance();
        return node;
      }
      if (Is(tok_, "object")) {
        node->children.push_back(ParseObject(depth + 1));
      } else if (Is(tok_, "inherited") || Is(tok_, "inline")) {
        throw EParserError(tok_.line, "'" + AnsiString(tok_.text) + "' objects are not supported");
      } else if (tok_.kind == Tok::Ident) {
        node->props.push_back(ParseProperty());
      } else {
        throw EParserError(tok_.line, "property name, 'object' or 'end' expected but " + Describe(tok_) + " found");
      }
    }
  }

  PropNode ParseProperty() {
    PropNode p;
    p.line = tok_.line;
    p.name = tok_.text;
    Advance();
    if (!IsSym(tok_, '=')) throw EParserError(tok_.line, "'=' expected after " + AnsiString(p.name) + " but " + Describe(tok_) + " found");
    int eqLine = tok_.line;
    Advance();
    if (tok_.kind == Tok::End || tok_.line != eqLine) throw EParserError(eqLine, "value expected after '" + AnsiString(p.name) + " ='");
    p.value.line = tok_.line;
    if (IsSym(tok_, '-') || IsSym(tok_, '+')) {
      p.value.negative = tok_.text[0] == '-';
      Advance();
      if (tok_.kind != Tok::Number || tok_.line != eqLine) throw EParserError(eqLine, "number expected after sign");
    }
    switch (tok_.kind) {
      case Tok::Number:
        p.value.kind = Tok::Number;
        p.value.text = tok_.text;
        p.value.hex = tok_.hex;
        Advance();
        break;
      case Tok::Ident:
        p.value.kind = Tok::Ident;
        p.value.text = tok_.text;
        Advance();
        break;
      case Tok::String:
        p.value.kind = Tok::String;
        p.value.text = tok_.text;
        Advance();
        while (IsSym(tok_, '+')) {  // 'long' +
          Advance();              //   'string'
          if (tok_.kind != Tok::String) throw EParserError(tok_.line, "string expected after '+' but " + Describe(tok_) + " found");
          p.value.text += tok_.text;
          Advance();
        }
        break;
      case Tok::Symbol:
        if (std::string_view("[({<").find(tok_.text[0]) != std::string_view::npos) {
          throw EParserError(tok_.line, "set, list, binary and collection values are not supported");
        }
        [[fallthrough]];
      default:
        throw EParserError(tok_.line, "value expected but " + Describe(tok_) + " found");
    }
    return p;
  }

  Lexer lex_;
  Token tok_;
};

// ---- Reading: building components -------------------------------------------------------------

// The number a value spells, when it fits in 64 bits.
bool ParseNumber(const Value& v, std::int64_t& out) {
  unsigned __int128 magnitude = 0;
  for (char c : v.text) {
    int digit = (c >= '0' && c <= '9') ? c - '0' : ((c | 0x20) - 'a' + 10);
    magnitude = magnitude * (v.hex ? 16 : 10) + static_cast<unsigned>(digit);
    if (magnitude > (static_cast<unsigned __int128>(1) << 63)) return false;
  }
  if (v.negative) {
    out = magnitude == (static_cast<unsigned __int128>(1) << 63) ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
    return true;
  }
  if (magnitude > static_cast<unsigned __int128>(INT64_MAX)) return false;
  out = static_cast<std::int64_t>(magnitude);
  return true;
}

AnsiString Spelled(const Value& v) {
  if (v.kind == Tok::String) {
    std::string quoted;
    AppendQuoted(quoted, AnsiString(v.text.substr(0, 40)));
    return AnsiString(quoted.empty() ? "''" : quoted) + (v.text.size() > 40 ? "..." : "");
  }
  return AnsiString((v.negative ? "-" : "") + std::string(v.hex ? "$" : "") + v.text);
}

std::int64_t OrdinalValue(const TPropInfo& prop, const Value& v) {
  PTypeInfo type = prop.PropType;
  auto wrong = [&](const char* expected) -> EReadError {
    return EReadError(v.line, "invalid value " + Spelled(v) + " for property " + prop.Name + " (" + type->Name +
                                  "): " + expected + " expected");
  };
  std::int64_t x = 0;
  switch (type->Kind) {
    case tkInteger:
      if (v.kind != Tok::Number) throw wrong("an integer");
      break;
    case tkChar:
      if (v.kind == Tok::String) {
        if (v.text.size() != 1) throw wrong("a single character");
        return static_cast<signed char>(v.text[0]);
      }
      if (v.kind != Tok::Number) throw wrong("a character");
      break;
    case tkBool:
    case tkEnumeration: {
      if (v.kind != Tok::Ident) throw wrong(type->Kind == tkBool ? "True or False" : "a value name");
      int e = GetEnumValue(type, AnsiString(v.text));
      if (e < 0) {
        throw EReadError(v.line, "'" + AnsiString(v.text) + "' is not a value of " + type->Name +
                                     " (property " + prop.Name + ")");
      }
      return e;
    }
    default:
      throw wrong("a value of another kind");
  }
  if (!ParseNumber(v, x) || x < type->MinValue || x > type->MaxValue) {
    throw EReadError(v.line, "value " + Spelled(v) + " out of range for property " + prop.Name + " (" + type->Name +
                                 ", " + IntToStr(type->MinValue) + ".." + IntToStr(type->MaxValue) + ")");
  }
  return x;
}

void Assign(TComponent* c, const PropNode& p) {
  PPropInfo prop = c->ClassType()->FindProperty(AnsiString(p.name));
  if (!prop) throw EReadError(p.line, "property " + AnsiString(p.name) + " does not exist in " + c->ClassName());
  if (prop->ReadOnly) throw EReadError(p.line, "property " + prop->Name + " is read-only");
  try {
    if (prop->PropType->IsOrdinal()) {
      std::int64_t x = OrdinalValue(*prop, p.value);
      prop->SetOrd(c, x);
    } else if (prop->Kind() == tkLString) {
      if (p.value.kind != Tok::String) {
        throw EReadError(p.value.line, "invalid value " + Spelled(p.value) + " for property " + prop->Name +
                                           " (AnsiString): a string expected");
      }
      prop->SetStr(c, AnsiString(p.value.text));
    } else if (prop->Kind() == tkMethod) {
      throw EReadError(p.line, "event " + prop->Name + " cannot be assigned from a form file");
    } else {
      throw EReadError(p.line, "property " + prop->Name + " cannot be read from a form file");
    }
  } catch (const EReadError&) {
    throw;
  } catch (const std::exception& e) {
    throw EReadError(p.line, "property " + prop->Name + ": " + e.what());
  }
}

TComponent* Build(const ObjNode& n, TComponent* owner, std::vector<TComponent*>& created) {
  TClass cls = GetClass(AnsiString(n.cls));
  if (!cls) throw EClassNotFound(n.line, "class " + AnsiString(n.cls) + " not found");
  if (!cls->CanCreate() || !cls->InheritsFrom(TComponent::StaticClass())) {
    throw EReadError(n.line, "class " + cls->ClassName() + " cannot be created from a form file (not a component class)");
  }
  TComponent* c = nullptr;
  try {
    c = cls->Create(owner);
  } catch (const EReadError&) {
    throw;
  } catch (const std::exception& e) {
    throw EReadError(n.line, "creating " + cls->ClassName() + " failed: " + e.what());
  }
  created.push_back(c);
  ComponentAccess::SetLoading(c, true);
  if (!n.name.empty()) {
    try {
      c->Name = AnsiString(n.name);
    } catch (const std::exception& e) {
      throw EReadError(n.line, e.what());
    }
  }
  for (const PropNode& p : n.props) Assign(c, p);
  for (const auto& child : n.children) Build(*child, c, created);
  return c;
}

}  // namespace

AnsiString FormatPropertyValue(TObject* object, PPropInfo prop) {
  PTypeInfo type = prop->PropType;
  std::string out;
  switch (type->Kind) {
    case tkInteger:
      return IntToStr(prop->GetOrd(object));
    case tkChar: {
      auto byte = static_cast<unsigned char>(static_cast<signed char>(prop->GetOrd(object)));
      AppendQuoted(out, AnsiString(reinterpret_cast<const char*>(&byte), 1));
      return AnsiString(std::move(out));
    }
    case tkBool:
      return prop->GetOrd(object) ? "True" : "False";
    case tkEnumeration: {
      std::int64_t v = prop->GetOrd(object);
      AnsiString name = GetEnumName(type, v);
      if (name.IsEmpty()) {
        throw EWriteError("Property " + prop->Name + " holds " + IntToStr(v) + ", which is not a value of " + type->Name);
      }
      return name;
    }
    case tkLString: {
      AnsiString s = prop->GetStr(object);
      if (s.IsEmpty()) return "''";
      AppendQuoted(out, s);
      return AnsiString(std::move(out));
    }
    default:
      throw EWriteError("Property " + prop->Name + " cannot be written to a form file");
  }
}

AnsiString WriteComponentText(TComponent* component) {
  if (!component) throw EWriteError("No component to write");
  std::string out;
  WriteObject(out, component, 0);
  return AnsiString(std::move(out));
}

TComponent* ReadComponentText(const AnsiString& text, TComponent* owner) {
  std::unique_ptr<ObjNode> tree = Parser(text).ParseForm();
  std::vector<TComponent*> created;
  try {
    Build(*tree, owner, created);
    for (TComponent* c : created) {
      ComponentAccess::Loaded(c);
      ComponentAccess::SetLoading(c, false);
    }
  } catch (...) {
    // Every created component is owned by the first one, which leaves the owner as it goes.
    if (!created.empty()) delete created.front();
    throw;
  }
  return created.front();
}

}  // namespace vcl
