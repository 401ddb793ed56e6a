// VCL-style property objects: members that read and assign like fields but call the owner's
// accessors.
//
//   class TPort : public vcl::TComponent {
//     AnsiString GetText();
//     void SetText(const AnsiString& value);
//     int GetConnected() const;
//    public:
//     vcl::Property<TPort, AnsiString, &TPort::GetText, &TPort::SetText> Text{this};
//     vcl::ReadOnlyProperty<TPort, int, &TPort::GetConnected> Connected{this};
//   };
//
//   port->Text = "AT\r";  AnsiString reply = port->Text;  if (port->Connected) ...
//
// A read-only property cannot be assigned (it does not compile). Property objects are bound to
// their owner: they are neither copied nor moved, and `auto x = port->Text` does not compile
// (write the value type instead).
#pragma once

#include <type_traits>

namespace vcl {

template <class Owner, class T, auto Getter>
class ReadOnlyProperty {
 public:
  explicit ReadOnlyProperty(Owner* owner) : owner_(owner) {}
  ReadOnlyProperty(const ReadOnlyProperty&) = delete;
  ReadOnlyProperty& operator=(const ReadOnlyProperty&) = delete;

  T get() const { return (owner_->*Getter)(); }
  operator T() const { return get(); }
  // For pointer-valued properties: owner->Parent->Name.
  T operator->() const
    requires std::is_pointer_v<T>
  {
    return get();
  }

 protected:
  Owner* owner_;
};

template <class Owner, class T, auto Getter, auto Setter>
class Property : public ReadOnlyProperty<Owner, T, Getter> {
 public:
  using ReadOnlyProperty<Owner, T, Getter>::ReadOnlyProperty;

  void set(const T& value) const { (this->owner_->*Setter)(value); }
  Property& operator=(const T& value) {
    set(value);
    return *this;
  }
  // Assigning one property to another copies the value, not the binding.
  Property& operator=(const Property& other) {
    set(other.get());
    return *this;
  }
};

}  // namespace vcl
