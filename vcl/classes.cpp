#include "vcl/classes.h"

#include <algorithm>
#include <mutex>

namespace vcl {

// ---- TObject --------------------------------------------------------------------------------

VCL_IMPLEMENT_CLASS(TObject)

AnsiString TObject::ClassName() const { return ClassType()->ClassName(); }

bool TObject::InheritsFrom(const TMetaClass* cls) const { return ClassType()->InheritsFrom(cls); }

// ---- TMetaClass -------------------------------------------------------------------------------

TMetaClass::TMetaClass(const char* name, TMetaClass* parent, Factory factory, Publish publish)
    : name_(name), parent_(parent), factory_(factory), publish_(publish) {
  type_info_.Kind = tkClass;
  type_info_.Name = name_;
  type_info_.ClassType = this;
}

bool TMetaClass::InheritsFrom(const TMetaClass* ancestor) const {
  for (const TMetaClass* c = this; c; c = c->parent_) {
    if (c == ancestor) return true;
  }
  return false;
}

TComponent* TMetaClass::Create(TComponent* owner) const {
  if (!factory_) throw EComponentError("Cannot create an instance of class " + name_);
  return factory_(owner);
}

const TPropList& TMetaClass::Properties() const {
  std::call_once(props_once_, [this] {
    TPropList list;
    if (parent_) list = parent_->Properties();
    if (publish_) publish_(list);
    props_ = std::move(list);
  });
  return props_;
}

PPropInfo TMetaClass::FindProperty(const AnsiString& name) const {
  for (const TPropInfo& p : Properties()) {
    if (SameText(p.Name, name)) return &p;
  }
  return nullptr;
}

namespace detail {
PTypeInfo ClassTypeInfo(TClass cls) { return cls->ClassInfo(); }
}  // namespace detail

// ---- Class registry -----------------------------------------------------------------------------

namespace {

struct ClassRegistry {
  std::mutex lock;
  std::vector<TClass> classes;  // in registration order; the latest of a name wins
};

ClassRegistry& Registry() {
  // Never destroyed: libraries unloaded at exit still unregister their classes.
  static ClassRegistry* registry = new ClassRegistry;
  return *registry;
}

}  // namespace

void RegisterClass(TClass cls) {
  if (!cls) return;
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  if (std::find(r.classes.begin(), r.classes.end(), cls) == r.classes.end()) r.classes.push_back(cls);
}

void RegisterClasses(std::initializer_list<TClass> classes) {
  for (TClass c : classes) RegisterClass(c);
}

void UnRegisterClass(TClass cls) {
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  std::erase(r.classes, cls);
}

TClass GetClass(const AnsiString& name) {
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  for (auto it = r.classes.rbegin(); it != r.classes.rend(); ++it) {
    if (SameText((*it)->ClassName(), name)) return *it;
  }
  return nullptr;
}

TClass FindClass(const AnsiString& name) {
  TClass cls = GetClass(name);
  if (!cls) throw EClassNotFound(0, "Class " + name + " not found");
  return cls;
}

std::vector<TClass> GetRegisteredClasses() {
  ClassRegistry& r = Registry();
  std::lock_guard guard(r.lock);
  return r.classes;
}

TComponent* CreateComponent(const AnsiString& className, TComponent* owner) {
  return FindClass(className)->Create(owner);
}

// ---- TPersistent --------------------------------------------------------------------------------

VCL_IMPLEMENT_CLASS(TPersistent)

void TPersistent::Assign(TPersistent* source) {
  if (source) {
    source->AssignTo(this);
  } else {
    AssignTo(nullptr);
  }
}

void TPersistent::AssignTo(TPersistent* dest) {
  AnsiString from = ClassName();
  throw EConvertError("Cannot assign a " + from + " to a " + (dest ? dest->ClassName() : AnsiString("nil")));
}

// ---- TComponent ---------------------------------------------------------------------------------

VCL_IMPLEMENT_CLASS(TComponent)

void TComponent::PublishedProperties(Publisher<TComponent>& p) {
  p.Property("Name", &TComponent::GetName, &TComponent::SetNameAccessor).Stored(false);
  p.Field("Tag", &TComponent::Tag).Default(0);
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) {
    if (AOwner->FComponentState.Contains(csDesigning)) FComponentState << csDesigning;
    AOwner->InsertComponent(this);
  }
}

TComponent::~TComponent() {
  Destroying();
  DestroyComponents();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::Destroying() {
  if (FComponentState.Contains(csDestroying)) return;
  FComponentState << csDestroying;
  for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    FComponents.pop_back();
    c->FOwner = nullptr;
    c->Destroying();
    delete c;
  }
}

TComponent* TComponent::ComponentList::operator[](int index) const {
  if (index < 0 || index >= owner_->GetComponentCount()) {
    throw ERangeError("Component index " + IntToStr(index) + " out of range");
  }
  return owner_->FComponents[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(const AnsiString& name) const {
  if (name.IsEmpty()) return nullptr;
  for (TComponent* c : FComponents) {
    if (SameText(c->FName, name)) return c;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (!component || component->FOwner == this) return;
  if (!component->FName.IsEmpty() && FindComponent(component->FName)) {
    throw EComponentError("A component named " + component->FName + " already exists");
  }
  for (const TComponent* o = this; o; o = o->FOwner) {
    if (o == component) throw EComponentError("A component cannot own itself or its owner");
  }
  if (component->FOwner) component->FOwner->RemoveComponent(component);
  FComponents.push_back(component);
  component->FOwner = this;
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (!component || component->FOwner != this) return;
  Notification(component, opRemove);
  std::erase(FComponents, component);
  component->FOwner = nullptr;
}

void TComponent::SetDesigning(bool value, bool setChildren) {
  if (value) {
    FComponentState << csDesigning;
  } else {
    FComponentState >> csDesigning;
  }
  if (setChildren) {
    for (TComponent* c : FComponents) c->SetDesigning(value, true);
  }
}

void TComponent::Loaded() { FComponentState >> csLoading; }

void TComponent::Notification(TComponent*, TOperation) {}

namespace {
bool IsIdentifier(const AnsiString& s) {
  if (s.IsEmpty()) return false;
  for (int i = 0; i < s.Length(); ++i) {
    char c = s.data()[i];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    bool digit = c >= '0' && c <= '9';
    if (!(letter || (digit && i > 0))) return false;
  }
  return true;
}
}  // namespace

void TComponent::SetName(const AnsiString& NewName) {
  if (NewName == FName) return;
  if (!NewName.IsEmpty()) {
    if (!IsIdentifier(NewName)) throw EComponentError("'" + NewName + "' is not a valid component name");
    if (FOwner) {
      TComponent* other = FOwner->FindComponent(NewName);
      if (other && other != this) throw EComponentError("A component named " + NewName + " already exists");
    }
  }
  FName = NewName;
}

}  // namespace vcl
