#include "vcl/typinfo.h"

#include <map>
#include <memory>
#include <mutex>

#include "vcl/classes.h"
#include "vcl/sysutils.h"

namespace vcl {

namespace {

TTypeInfo Ordinal(TTypeKind kind, const char* name, TOrdType ord, std::int64_t min, std::int64_t max) {
  TTypeInfo info;
  info.Kind = kind;
  info.Name = name;
  info.OrdType = ord;
  info.MinValue = min;
  info.MaxValue = max;
  return info;
}

constexpr std::int64_t kInt32Min = -2147483648LL;
constexpr std::int64_t kInt32Max = 2147483647LL;
constexpr std::int64_t kUInt32Max = 4294967295LL;

}  // namespace

PTypeInfo IntTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "int", otSLong, kInt32Min, kInt32Max);
  return &info;
}
PTypeInfo UnsignedIntTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "unsigned int", otULong, 0, kUInt32Max);
  return &info;
}
PTypeInfo LongTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "long", otSLong, kInt32Min, kInt32Max);
  return &info;
}
PTypeInfo UnsignedLongTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "unsigned long", otULong, 0, kUInt32Max);
  return &info;
}
PTypeInfo ShortTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "short", otSWord, -32768, 32767);
  return &info;
}
PTypeInfo UnsignedShortTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "unsigned short", otUWord, 0, 65535);
  return &info;
}
PTypeInfo UnsignedCharTypeInfo() {
  static const TTypeInfo info = Ordinal(tkInteger, "unsigned char", otUByte, 0, 255);
  return &info;
}
PTypeInfo CharTypeInfo() {
  static const TTypeInfo info = Ordinal(tkChar, "char", otSByte, -128, 127);
  return &info;
}
PTypeInfo BoolTypeInfo() {
  static const TTypeInfo info = [] {
    TTypeInfo i = Ordinal(tkBool, "bool", otUByte, 0, 1);
    i.EnumNames = {"false", "true"};
    return i;
  }();
  return &info;
}
PTypeInfo AnsiStringTypeInfo() {
  static const TTypeInfo info = [] {
    TTypeInfo i;
    i.Kind = tkLString;
    i.Name = "AnsiString";
    return i;
  }();
  return &info;
}

PTypeInfo EventTypeInfo(const AnsiString& typeName) {
  static std::mutex lock;
  static auto* records = new std::map<AnsiString, std::unique_ptr<TTypeInfo>>;
  std::lock_guard guard(lock);
  auto& slot = (*records)[typeName];
  if (!slot) {
    slot = std::make_unique<TTypeInfo>();
    slot->Kind = tkMethod;
    slot->Name = typeName;
  }
  return slot.get();
}

AnsiString GetEnumName(PTypeInfo info, std::int64_t value) {
  if (!info || value < 0 || value >= static_cast<std::int64_t>(info->EnumNames.size())) return AnsiString();
  return info->EnumNames[static_cast<std::size_t>(value)];
}

int GetEnumValue(PTypeInfo info, const AnsiString& name) {
  if (!info) return -1;
  for (std::size_t i = 0; i < info->EnumNames.size(); ++i) {
    if (SameText(info->EnumNames[i], name)) return static_cast<int>(i);
  }
  return -1;
}

namespace detail {

TTypeInfo MakeEnumTypeInfo(const char* typeName, const char* names) {
  TTypeInfo info;
  info.Kind = tkEnumeration;
  info.Name = typeName;
  std::string list(names);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    AnsiString name = AnsiString(list.substr(start, comma - start)).Trim();
    for (int i = 0; i < name.Length(); ++i) {
      char c = name.data()[i];
      bool ok = c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (i > 0 && c >= '0' && c <= '9');
      if (!ok) {
        throw std::logic_error(std::string("enumeration ") + typeName +
                               ": values must be plain names numbered from 0 (got '" + name.str() + "')");
      }
    }
    bool last = comma == list.size();
    if (name.IsEmpty() && !last) {
      throw std::logic_error(std::string("enumeration ") + typeName + ": empty value name");
    }
    if (!name.IsEmpty()) info.EnumNames.push_back(name);
    start = comma + 1;
  }
  info.MinValue = 0;
  info.MaxValue = static_cast<std::int64_t>(info.EnumNames.size()) - 1;
  info.OrdType = info.EnumNames.size() <= 256 ? otUByte : otUWord;
  return info;
}

void CheckPublishedType(const AnsiString& prop, PTypeInfo natural, PTypeInfo chosen) {
  bool ok = chosen && natural && chosen->Kind == natural->Kind;
  if (ok && chosen->IsOrdinal()) {
    ok = chosen->MinValue >= natural->MinValue && chosen->MaxValue <= natural->MaxValue;
  }
  if (!ok) {
    throw std::logic_error("property " + prop.str() + ": type " + (chosen ? chosen->Name.str() : "null") +
                           " cannot stand for " + (natural ? natural->Name.str() : "this value type"));
  }
}

std::size_t AddProperty(TPropList& list, TPropInfo info) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (SameText(list[i].Name, info.Name)) {
      info.Index = static_cast<int>(i);
      list[i] = std::move(info);
      return i;
    }
  }
  info.Index = static_cast<int>(list.size());
  list.push_back(std::move(info));
  return list.size() - 1;
}

}  // namespace detail

// ---- Access by table ------------------------------------------------------------------------------

namespace {

PPropInfo Require(TObject* object, const AnsiString& name) {
  if (!object) throw EPropertyError("No object to read property " + name + " of");
  PPropInfo p = GetPropInfo(object, name);
  if (!p) throw EPropertyError("Property " + name + " does not exist in " + object->ClassName());
  return p;
}

void RequireKind(PPropInfo prop, bool ordinal) {
  if (!prop || !prop->PropType) throw EPropertyError("No property");
  bool isOrdinal = prop->PropType->IsOrdinal();
  bool isString = prop->Kind() == tkLString;
  if (ordinal ? !isOrdinal : !isString) {
    throw EPropertyError("Property " + prop->Name + " is not " + (ordinal ? "an ordinal" : "a string") +
                         " property");
  }
}

}  // namespace

const TPropList& GetPropList(TClass cls) {
  static const TPropList empty;
  return cls ? cls->Properties() : empty;
}

PPropInfo GetPropInfo(TClass cls, const AnsiString& name) { return cls ? cls->FindProperty(name) : nullptr; }

PPropInfo GetPropInfo(const TObject* object, const AnsiString& name) {
  return object ? object->ClassType()->FindProperty(name) : nullptr;
}

std::int64_t GetOrdProp(TObject* object, PPropInfo prop) {
  RequireKind(prop, true);
  return prop->GetOrd(object);
}
std::int64_t GetOrdProp(TObject* object, const AnsiString& name) { return GetOrdProp(object, Require(object, name)); }

void SetOrdProp(TObject* object, PPropInfo prop, std::int64_t value) {
  RequireKind(prop, true);
  if (prop->ReadOnly || !prop->SetOrd) throw EPropertyError("Property " + prop->Name + " is read-only");
  if (value < prop->PropType->MinValue || value > prop->PropType->MaxValue) {
    throw ERangeError(IntToStr(value) + " is not within the range of " + prop->PropType->Name + " (" +
                      IntToStr(prop->PropType->MinValue) + ".." + IntToStr(prop->PropType->MaxValue) + ")");
  }
  prop->SetOrd(object, value);
}
void SetOrdProp(TObject* object, const AnsiString& name, std::int64_t value) {
  SetOrdProp(object, Require(object, name), value);
}

AnsiString GetStrProp(TObject* object, PPropInfo prop) {
  RequireKind(prop, false);
  return prop->GetStr(object);
}
AnsiString GetStrProp(TObject* object, const AnsiString& name) { return GetStrProp(object, Require(object, name)); }

void SetStrProp(TObject* object, PPropInfo prop, const AnsiString& value) {
  RequireKind(prop, false);
  if (prop->ReadOnly || !prop->SetStr) throw EPropertyError("Property " + prop->Name + " is read-only");
  prop->SetStr(object, value);
}
void SetStrProp(TObject* object, const AnsiString& name, const AnsiString& value) {
  SetStrProp(object, Require(object, name), value);
}

AnsiString GetEnumProp(TObject* object, PPropInfo prop) {
  return GetEnumName(prop->PropType, GetOrdProp(object, prop));
}

bool IsDefaultPropValue(TObject* object, PPropInfo prop) {
  if (!prop || prop->ReadOnly || !prop->Stored || !prop->PropType) return true;
  if (prop->PropType->IsOrdinal()) return prop->HasDefault && prop->GetOrd(object) == prop->Default;
  if (prop->Kind() == tkLString) return prop->GetStr(object).IsEmpty();
  return true;
}

}  // namespace vcl
