// TObject, class references (metaclasses), the class registry, TPersistent and TComponent.
//
// Every class of the runtime's hierarchy carries a metaclass: its name, its parent, a factory
// (the virtual constructor, for component classes), its published-property table and its own
// type information. A class joins by
//
//   class TMyComponent : public vcl::TComponent {
//     VCL_DECLARE_CLASS(TMyComponent, vcl::TComponent)   // first in the class body
//    public:
//     explicit TMyComponent(vcl::TComponent* AOwner);
//     static void PublishedProperties(vcl::Publisher<TMyComponent>& p);  // optional
//   };
//
// and, in one source file, in the class's namespace:
//
//   VCL_IMPLEMENT_CLASS(TMyComponent)
//
// which defines the metaclass and registers it by name while the library that holds it is
// loaded, so a form file or a host can create the class by name: FindClass("TMyComponent").
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <type_traits>
#include <vector>

#include "vcl/ansistring.h"
#include "vcl/property.h"
#include "vcl/sysutils.h"
#include "vcl/typinfo.h"

namespace vcl {

class TComponent;
class TMetaClass;
using TClass = TMetaClass*;
using TComponentClass = TMetaClass*;

namespace detail {
struct MetaAccess;
struct ComponentAccess;
}  // namespace detail

// ---- TObject --------------------------------------------------------------------------------

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  static TMetaClass* StaticClass();
  virtual TMetaClass* ClassType() const { return StaticClass(); }
  AnsiString ClassName() const;
  bool InheritsFrom(const TMetaClass* cls) const;
  // Called by code that creates objects generically (class factories), after the most-derived
  // constructor has finished. TThread uses it; see vcl/thread.h.
  virtual void AfterConstruction() {}

  static void PublishedProperties(Publisher<TObject>&) {}

 private:
  friend struct detail::MetaAccess;
};

// ---- Metaclasses ------------------------------------------------------------------------------

class TMetaClass {
 public:
  using Factory = TComponent* (*)(TComponent* owner);
  using Publish = void (*)(TPropList& list);

  TMetaClass(const char* name, TMetaClass* parent, Factory factory, Publish publish);
  TMetaClass(const TMetaClass&) = delete;
  TMetaClass& operator=(const TMetaClass&) = delete;

  const AnsiString& ClassName() const { return name_; }
  TMetaClass* ClassParent() const { return parent_; }
  bool InheritsFrom(const TMetaClass* ancestor) const;
  // A component class with a public constructor taking the owner.
  bool CanCreate() const { return factory_ != nullptr; }
  // The virtual constructor: a new instance of this class owned by owner. EComponentError when
  // the class cannot be created this way.
  TComponent* Create(TComponent* owner) const;
  // The class's own type information (tkClass).
  PTypeInfo ClassInfo() const { return &type_info_; }
  // Published properties: the parent's first, then the class's own, in declaration order.
  const TPropList& Properties() const;
  PPropInfo FindProperty(const AnsiString& name) const;  // compared without case; null if none

 private:
  AnsiString name_;
  TMetaClass* parent_;
  Factory factory_;
  Publish publish_;
  TTypeInfo type_info_;
  mutable std::once_flag props_once_;
  mutable TPropList props_;
};

template <class T>
TClass classid() {
  return T::StaticClass();
}
inline PTypeInfo ClassInfo(TClass cls) { return cls ? cls->ClassInfo() : nullptr; }

// The class registry: classes by name (compared without case). Classes declared with
// VCL_IMPLEMENT_CLASS register themselves while their library is loaded.
void RegisterClass(TClass cls);
void RegisterClasses(std::initializer_list<TClass> classes);
void UnRegisterClass(TClass cls);
TClass GetClass(const AnsiString& name);   // null when no class of that name is registered
TClass FindClass(const AnsiString& name);  // EClassNotFound when none
std::vector<TClass> GetRegisteredClasses();
// The virtual constructor by class name: EClassNotFound or EComponentError on failure.
TComponent* CreateComponent(const AnsiString& className, TComponent* owner);

namespace detail {

struct MetaAccess {
  template <class T>
  static constexpr bool DeclaresOwnProperties() {
    if constexpr (requires { typename T::inherited; }) {
      return !std::is_same_v<decltype(&T::PublishedProperties),
                             decltype(&T::inherited::PublishedProperties)>;
    } else {
      return true;
    }
  }

  template <class T>
  static void Publish(TPropList& list) {
    Publisher<T> publisher(list);
    T::PublishedProperties(publisher);
  }

  template <class T>
  static TComponent* Create(TComponent* owner) {
    T* object = new T(owner);
    object->AfterConstruction();
    return object;
  }

  template <class T>
  static TMetaClass Make(const char* name) {
    TMetaClass* parent = nullptr;
    if constexpr (requires { typename T::inherited; }) parent = T::inherited::StaticClass();
    TMetaClass::Factory factory = nullptr;
    if constexpr (std::is_base_of_v<TComponent, T> && !std::is_abstract_v<T> &&
                  std::is_constructible_v<T, TComponent*>) {
      factory = &Create<T>;
    }
    TMetaClass::Publish publish = nullptr;
    if constexpr (DeclaresOwnProperties<T>()) publish = &Publish<T>;
    return TMetaClass(name, parent, factory, publish);
  }
};

// Registers a class for as long as it lives (a static object of the library holding the class).
class ClassRegistrar {
 public:
  explicit ClassRegistrar(TClass cls) : cls_(cls) { RegisterClass(cls); }
  ~ClassRegistrar() { UnRegisterClass(cls_); }
  ClassRegistrar(const ClassRegistrar&) = delete;
  ClassRegistrar& operator=(const ClassRegistrar&) = delete;

 private:
  TClass cls_;
};

}  // namespace detail

#define VCL_DECLARE_CLASS(Class, Parent)                                    \
 public:                                                                   \
  using inherited = Parent;                                                \
  static ::vcl::TMetaClass* StaticClass();                                 \
  ::vcl::TMetaClass* ClassType() const override { return StaticClass(); } \
  friend struct ::vcl::detail::MetaAccess;                                 \
                                                                           \
 private:

#define VCL_IMPLEMENT_CLASS(Class)                                                        \
  ::vcl::TMetaClass* Class::StaticClass() {                                               \
    static ::vcl::TMetaClass meta = ::vcl::detail::MetaAccess::Make<Class>(#Class);       \
    return &meta;                                                                         \
  }                                                                                       \
  [[maybe_unused]] static const ::vcl::detail::ClassRegistrar vcl_class_registrar_##Class( \
      Class::StaticClass());

// ---- Events -------------------------------------------------------------------------------------

// Events are assignable from any callable; an unassigned event tests false.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// ---- Sets ---------------------------------------------------------------------------------------

// A small set of enumeration values, as the VCL's Set<T, Min, Max>.
template <class T, T MinEl, T MaxEl>
class Set {
  static_assert(static_cast<int>(MaxEl) - static_cast<int>(MinEl) < 64);

 public:
  Set() = default;
  Set(std::initializer_list<T> values) {
    for (T v : values) *this << v;
  }
  Set& operator<<(T value) {
    bits_ |= Bit(value);
    return *this;
  }
  Set& operator>>(T value) {
    bits_ &= ~Bit(value);
    return *this;
  }
  bool Contains(T value) const { return (bits_ & Bit(value)) != 0; }
  bool Empty() const { return bits_ == 0; }
  void Clear() { bits_ = 0; }
  Set operator+(const Set& other) const { return FromBits(bits_ | other.bits_); }
  Set operator*(const Set& other) const { return FromBits(bits_ & other.bits_); }
  Set operator-(const Set& other) const { return FromBits(bits_ & ~other.bits_); }
  friend bool operator==(const Set&, const Set&) = default;

 private:
  static std::uint64_t Bit(T value) {
    int i = static_cast<int>(value) - static_cast<int>(MinEl);
    return (i >= 0 && i < 64) ? (std::uint64_t{1} << i) : 0;
  }
  static Set FromBits(std::uint64_t bits) {
    Set s;
    s.bits_ = bits;
    return s;
  }
  std::uint64_t bits_ = 0;
};

// ---- TPersistent --------------------------------------------------------------------------------

class TPersistent : public TObject {
  VCL_DECLARE_CLASS(TPersistent, TObject)

 public:
  TPersistent() = default;
  // Copies source's state into this object; EConvertError when the classes do not know each
  // other.
  virtual void Assign(TPersistent* source);

 protected:
  virtual void AssignTo(TPersistent* dest);
};

// ---- TComponent ---------------------------------------------------------------------------------

enum TComponentStateFlag : std::uint8_t {
  csLoading,
  csReading,
  csWriting,
  csDestroying,
  csDesigning,
  csAncestor,
  csUpdating,
  csFixups,
  csFreeNotification,
  csInline,
  csDesignInstance,
};
using TComponentState = Set<TComponentStateFlag, csLoading, csDesignInstance>;

enum TOperation : std::uint8_t { opInsert, opRemove };

// Components with an owner and owned components. The owner destroys what it owns, in reverse
// order of insertion; a component destroyed on its own leaves its owner's list. A component
// constructed with an owner in design state is in design state too.
class TComponent : public TPersistent {
  VCL_DECLARE_CLASS(TComponent, TPersistent)

  TComponent* GetOwner() const { return FOwner; }
  int GetComponentCount() const { return static_cast<int>(FComponents.size()); }
  void SetNameAccessor(const AnsiString& NewName) { SetName(NewName); }

 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  AnsiString GetName() const { return FName; }

  // Read-only views of the component's state.
  TComponent* const& Owner = FOwner;
  const TComponentState& ComponentState = FComponentState;
  // The component's name: empty, or an identifier unique (without case) among its owner's
  // components; anything else is refused with EComponentError.
  Property<TComponent, AnsiString, &TComponent::GetName, &TComponent::SetNameAccessor> Name{this};
  std::int32_t Tag = 0;
  ReadOnlyProperty<TComponent, int, &TComponent::GetComponentCount> ComponentCount{this};

  // Components[i]: the owned components in insertion order.
  class ComponentList {
   public:
    explicit ComponentList(const TComponent* owner) : owner_(owner) {}
    ComponentList(const ComponentList&) = delete;
    ComponentList& operator=(const ComponentList&) = delete;
    TComponent* operator[](int index) const;

   private:
    const TComponent* owner_;
  };
  ComponentList Components{this};

  TComponent* FindComponent(const AnsiString& name) const;  // an owned component by name
  void InsertComponent(TComponent* component);  // takes ownership (leaves any previous owner)
  void RemoveComponent(TComponent* component);  // gives ownership up; the caller then owns it
  void DestroyComponents();                     // destroys the owned components, last first

  // Puts this component (and, with setChildren, what it owns) in or out of design state. A host
  // sets it on an owner so that components later constructed with that owner are designing.
  void SetDesigning(bool value, bool setChildren = true);

  static void PublishedProperties(Publisher<TComponent>& p);

 protected:
  // Called once a whole form file has been read, for every component it created, in the order
  // they were created. csLoading is still set; TComponent::Loaded clears it (overrides call the
  // inherited version; the reader clears it anyway afterwards).
  virtual void Loaded();
  // Told when a component is inserted into or removed from this one's owned list.
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  virtual void SetName(const AnsiString& NewName);

 private:
  friend struct detail::ComponentAccess;
  void Destroying();

  TComponent* FOwner = nullptr;
  AnsiString FName;
  TComponentState FComponentState;
  std::vector<TComponent*> FComponents;
};

}  // namespace vcl
