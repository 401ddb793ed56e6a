// Type information and published-property tables.
//
// Every class declares its published properties once, in a static function
//
//   static void PublishedProperties(vcl::Publisher<TMyComponent>& p) {
//     p.Field("Port", &TMyComponent::Port);
//     p.Field("BaudRate", &TMyComponent::BaudRate).Type(vcl::LongTypeInfo()).Default(9600);
//     p.Property("Text", &TMyComponent::GetText, &TMyComponent::SetText);
//     p.ReadOnly("State", &TMyComponent::GetState);
//     p.Event("OnDataAvailable", &TMyComponent::OnDataAvailable);
//   }
//
// and the class's metaclass builds its table from it: the parent's properties first, then the
// class's own in declaration order (a name that the parent already publishes is redeclared in
// place, e.g. to change its default). Streaming, the designer and tests read the table.
//
// Supported value types: std::int32_t, std::uint32_t, std::int16_t, std::uint16_t,
// unsigned char, signed char / char (published as "char"), bool, enumerations published with
// VCL_ENUM / VCL_PUBLISH_ENUM, AnsiString; events are std::function fields.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "vcl/ansistring.h"

namespace vcl {

class TObject;
class TMetaClass;
using TClass = TMetaClass*;

enum TTypeKind : std::uint8_t {
  tkUnknown,
  tkInteger,
  tkChar,
  tkEnumeration,
  tkBool,
  tkLString,  // AnsiString
  tkMethod,   // events
  tkClass,
};

enum TOrdType : std::uint8_t { otSByte, otUByte, otSWord, otUWord, otSLong, otULong };

struct TTypeInfo {
  TTypeKind Kind = tkUnknown;
  AnsiString Name;  // the published type name: "long", "unsigned int", "char", "TParity", ...
  TOrdType OrdType = otSLong;         // ordinal kinds
  std::int64_t MinValue = 0;          // ordinal kinds: the published range
  std::int64_t MaxValue = 0;
  std::vector<AnsiString> EnumNames;  // tkEnumeration (value names by ordinal), tkBool
  TClass ClassType = nullptr;         // tkClass

  bool IsOrdinal() const {
    return Kind == tkInteger || Kind == tkChar || Kind == tkEnumeration || Kind == tkBool;
  }
};
using PTypeInfo = const TTypeInfo*;

// The runtime's published ordinal and string types. "long" and "unsigned long" are 32 bits, as on
// the VCL's platform; in C++ here they are stored in std::int32_t / std::uint32_t.
PTypeInfo IntTypeInfo();            // "int"
PTypeInfo UnsignedIntTypeInfo();    // "unsigned int"
PTypeInfo LongTypeInfo();           // "long"
PTypeInfo UnsignedLongTypeInfo();   // "unsigned long"
PTypeInfo ShortTypeInfo();          // "short"
PTypeInfo UnsignedShortTypeInfo();  // "unsigned short"
PTypeInfo UnsignedCharTypeInfo();   // "unsigned char", an integer type
PTypeInfo CharTypeInfo();           // "char", tkChar, -128..127
PTypeInfo BoolTypeInfo();           // "bool", tkBool, names "false", "true"
PTypeInfo AnsiStringTypeInfo();     // "AnsiString", tkLString
// tkMethod type information for an event type name ("TNotifyEvent"); one record per name.
PTypeInfo EventTypeInfo(const AnsiString& typeName);

// Name of an enumeration (or bool) value; empty when out of range.
AnsiString GetEnumName(PTypeInfo info, std::int64_t value);
// Ordinal of a value name, compared without case; -1 when there is none.
int GetEnumValue(PTypeInfo info, const AnsiString& name);

namespace detail {
// Builds the type information of an enumeration whose values are 0, 1, 2... from the
// comma-separated list of its value names.
TTypeInfo MakeEnumTypeInfo(const char* typeName, const char* names);
}  // namespace detail

// Publishes an existing enumeration (values 0..N-1, names listed in order). Use it at namespace
// scope, in the enumeration's namespace.
#define VCL_PUBLISH_ENUM(Enum, ...)                                                          \
  [[maybe_unused]] inline ::vcl::PTypeInfo VclTypeInfo(Enum*) {                              \
    static const ::vcl::TTypeInfo info = ::vcl::detail::MakeEnumTypeInfo(#Enum, #__VA_ARGS__); \
    return &info;                                                                            \
  }

// Declares an enumeration with the given underlying type and publishes it:
//   VCL_ENUM(TParity, std::uint8_t, no_parity, odd_parity, even_parity, mark_parity, space_parity)
#define VCL_ENUM(Enum, Underlying, ...)  \
  enum Enum : Underlying { __VA_ARGS__ }; \
  VCL_PUBLISH_ENUM(Enum, __VA_ARGS__)

namespace detail {
template <class T>
concept PublishedEnum = std::is_enum_v<T> && requires(T* p) {
  { VclTypeInfo(p) } -> std::convertible_to<PTypeInfo>;
};
template <class T>
concept HasStaticClass = requires { T::StaticClass(); };
PTypeInfo ClassTypeInfo(TClass cls);
}  // namespace detail

// The type information of a C++ type: the natural published type of each supported value type,
// a published enumeration's own record, or a class's (ClassInfo).
template <class T>
PTypeInfo TypeInfoOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    return BoolTypeInfo();
  } else if constexpr (std::is_same_v<U, char> || std::is_same_v<U, signed char>) {
    static_assert(std::numeric_limits<U>::is_signed, "char is published as a signed type");
    return CharTypeInfo();
  } else if constexpr (std::is_same_v<U, unsigned char>) {
    return UnsignedCharTypeInfo();
  } else if constexpr (std::is_same_v<U, std::int16_t>) {
    return ShortTypeInfo();
  } else if constexpr (std::is_same_v<U, std::uint16_t>) {
    return UnsignedShortTypeInfo();
  } else if constexpr (std::is_same_v<U, std::int32_t>) {
    return IntTypeInfo();
  } else if constexpr (std::is_same_v<U, std::uint32_t>) {
    return UnsignedIntTypeInfo();
  } else if constexpr (std::is_same_v<U, AnsiString>) {
    return AnsiStringTypeInfo();
  } else if constexpr (detail::PublishedEnum<U>) {
    return VclTypeInfo(static_cast<U*>(nullptr));
  } else if constexpr (detail::HasStaticClass<U>) {
    return detail::ClassTypeInfo(U::StaticClass());
  } else {
    static_assert(sizeof(U) == 0,
                  "not a published type: use std::int32_t/std::uint32_t (not long), signed char, "
                  "bool, AnsiString or an enumeration published with VCL_ENUM/VCL_PUBLISH_ENUM");
  }
}

// One published property. Ordinal values travel as std::int64_t (an unsigned 32-bit value keeps
// its 0..4294967295 range); strings as AnsiString; events only report whether they are assigned.
struct TPropInfo {
  AnsiString Name;
  PTypeInfo PropType = nullptr;
  bool ReadOnly = false;
  bool Stored = true;        // false: never written to a form file (Name, whose value is the header)
  bool HasDefault = false;   // ordinals: a recorded default exists
  std::int64_t Default = 0;  // the recorded default, normalised to the property's type
  int Index = 0;             // position in the class's table

  std::function<std::int64_t(TObject*)> GetOrd;
  std::function<void(TObject*, std::int64_t)> SetOrd;
  std::function<AnsiString(TObject*)> GetStr;
  std::function<void(TObject*, const AnsiString&)> SetStr;
  std::function<bool(TObject*)> IsAssigned;  // events

  TTypeKind Kind() const { return PropType ? PropType->Kind : tkUnknown; }
};
using PPropInfo = const TPropInfo*;
using TPropList = std::vector<TPropInfo>;

// Property access by table entry or by name (compared without case). The object must be of the
// class that publishes the property; SetOrdProp refuses values outside the published range
// (ERangeError) and read-only properties (EPropertyError).
const TPropList& GetPropList(TClass cls);
PPropInfo GetPropInfo(TClass cls, const AnsiString& name);  // null when there is none
PPropInfo GetPropInfo(const TObject* object, const AnsiString& name);
std::int64_t GetOrdProp(TObject* object, PPropInfo prop);
std::int64_t GetOrdProp(TObject* object, const AnsiString& name);
void SetOrdProp(TObject* object, PPropInfo prop, std::int64_t value);
void SetOrdProp(TObject* object, const AnsiString& name, std::int64_t value);
AnsiString GetStrProp(TObject* object, PPropInfo prop);
AnsiString GetStrProp(TObject* object, const AnsiString& name);
void SetStrProp(TObject* object, PPropInfo prop, const AnsiString& value);
void SetStrProp(TObject* object, const AnsiString& name, const AnsiString& value);
AnsiString GetEnumProp(TObject* object, PPropInfo prop);  // the value's name
// A form file leaves the property out: read-only, not stored, an event, an ordinal equal to
// its recorded default, or an empty string.
bool IsDefaultPropValue(TObject* object, PPropInfo prop);

// ---- Declaring tables --------------------------------------------------------------------------

namespace detail {

template <class V>
inline constexpr bool kOrdinal = std::is_integral_v<V> || std::is_enum_v<V>;

template <class V>
std::int64_t ToOrd(V v) {
  if constexpr (std::is_enum_v<V>) {
    return static_cast<std::int64_t>(static_cast<std::underlying_type_t<V>>(v));
  } else {
    return static_cast<std::int64_t>(v);
  }
}

template <class V>
V FromOrd(std::int64_t x) {
  if constexpr (std::is_enum_v<V>) {
    return static_cast<V>(static_cast<std::underlying_type_t<V>>(x));
  } else if constexpr (std::is_same_v<V, bool>) {
    return x != 0;
  } else {
    return static_cast<V>(x);
  }
}

// Throws std::logic_error when `chosen` cannot stand for a value of the natural type.
void CheckPublishedType(const AnsiString& prop, PTypeInfo natural, PTypeInfo chosen);
// Adds (or redeclares in place) an entry and returns its position.
std::size_t AddProperty(TPropList& list, TPropInfo info);

template <class G>
struct GetterTraits;
template <class R, class B>
struct GetterTraits<R (B::*)()> {
  using Value = std::remove_cvref_t<R>;
  using Class = B;
};
template <class R, class B>
struct GetterTraits<R (B::*)() const> : GetterTraits<R (B::*)()> {};
template <class R, class B>
struct GetterTraits<R (B::*)() noexcept> : GetterTraits<R (B::*)()> {};
template <class R, class B>
struct GetterTraits<R (B::*)() const noexcept> : GetterTraits<R (B::*)()> {};

template <class S>
struct SetterTraits;
template <class R, class B, class P>
struct SetterTraits<R (B::*)(P)> {
  using Value = std::remove_cvref_t<P>;
  using Class = B;
};
template <class R, class B, class P>
struct SetterTraits<R (B::*)(P) noexcept> : SetterTraits<R (B::*)(P)> {};

}  // namespace detail

// Refines the entry just published. Each call returns the same handle, so calls chain.
template <class V>
class PublishedProperty {
 public:
  PublishedProperty(TPropList& list, std::size_t index) : list_(&list), index_(index) {}

  // The recorded default, converted to the property's type first: Default(-1) on an unsigned
  // 32-bit property records 4294967295 (all bits set).
  template <class X>
    requires detail::kOrdinal<V> && (std::is_convertible_v<X, V> || std::is_integral_v<X>)
  PublishedProperty& Default(X value) {
    info().HasDefault = true;
    info().Default = detail::ToOrd<V>(static_cast<V>(value));
    return *this;
  }
  PublishedProperty& NoDefault() {
    info().HasDefault = false;
    info().Default = 0;
    return *this;
  }
  // Publishes the property under another type of the same kind and size, e.g. an
  // std::int32_t as "long" (LongTypeInfo()).
  PublishedProperty& Type(PTypeInfo type) {
    detail::CheckPublishedType(info().Name, TypeInfoOf<V>(), type);
    info().PropType = type;
    return *this;
  }
  PublishedProperty& Stored(bool stored) {
    info().Stored = stored;
    return *this;
  }

 private:
  TPropInfo& info() { return (*list_)[index_]; }
  TPropList* list_;
  std::size_t index_;
};

template <class C>
class Publisher {
 public:
  explicit Publisher(TPropList& list) : list_(list) {}

  // A plain field, read and written directly.
  template <class V, class B>
    requires std::is_base_of_v<B, C>
  PublishedProperty<V> Field(const char* name, V B::*field) {
    return Add<V>(name, false,
                  [field](TObject* o) -> V { return static_cast<C*>(o)->*field; },
                  [field](TObject* o, const V& v) { static_cast<C*>(o)->*field = v; });
  }

  // Read through a getter, written through a setter (member functions of C or a base).
  template <class G, class S>
    requires std::is_member_function_pointer_v<G> && std::is_member_function_pointer_v<S>
  auto Property(const char* name, G getter, S setter) {
    using V = typename detail::GetterTraits<G>::Value;
    static_assert(std::is_same_v<V, typename detail::SetterTraits<S>::Value>,
                  "getter and setter must agree on the property's type");
    return Add<V>(name, false,
                  [getter](TObject* o) -> V { return (static_cast<C*>(o)->*getter)(); },
                  [setter](TObject* o, const V& v) { (static_cast<C*>(o)->*setter)(v); });
  }

  // Read only: through a getter or straight from a field. Never written to a form file.
  template <class G>
  auto ReadOnly(const char* name, G getterOrField) {
    if constexpr (std::is_member_function_pointer_v<G>) {
      using V = typename detail::GetterTraits<G>::Value;
      return Add<V>(name, true,
                    [getterOrField](TObject* o) -> V { return (static_cast<C*>(o)->*getterOrField)(); },
                    nullptr);
    } else {
      static_assert(std::is_member_object_pointer_v<G>);
      using V = std::remove_cvref_t<decltype(static_cast<C*>(nullptr)->*getterOrField)>;
      return Add<V>(name, true, [getterOrField](TObject* o) -> V { return static_cast<C*>(o)->*getterOrField; },
                    nullptr);
    }
  }

  // An event: a std::function field. Never written to a form file.
  template <class F, class B>
    requires std::is_base_of_v<B, C>
  void Event(const char* name, F B::*field, const char* typeName = "TNotifyEvent") {
    TPropInfo info;
    info.Name = name;
    info.PropType = EventTypeInfo(typeName);
    info.Stored = false;
    info.IsAssigned = [field](TObject* o) { return static_cast<bool>(static_cast<C*>(o)->*field); };
    detail::AddProperty(list_, std::move(info));
  }

 private:
  template <class V, class Get, class Set>
  PublishedProperty<V> Add(const char* name, bool readOnly, Get get, Set set) {
    static_assert(detail::kOrdinal<V> || std::is_same_v<V, AnsiString>,
                  "published properties are ordinals or AnsiString");
    TPropInfo info;
    info.Name = name;
    info.PropType = TypeInfoOf<V>();
    info.ReadOnly = readOnly;
    if constexpr (std::is_same_v<V, AnsiString>) {
      info.GetStr = get;
      if constexpr (!std::is_null_pointer_v<Set>) info.SetStr = set;
    } else {
      info.GetOrd = [get](TObject* o) { return detail::ToOrd<V>(get(o)); };
      if constexpr (!std::is_null_pointer_v<Set>) {
        info.SetOrd = [set](TObject* o, std::int64_t x) { set(o, detail::FromOrd<V>(x)); };
      }
    }
    return PublishedProperty<V>(list_, detail::AddProperty(list_, std::move(info)));
  }

  TPropList& list_;
};

}  // namespace vcl
