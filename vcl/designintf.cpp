#include "vcl/designintf.h"

#include <algorithm>
#include <mutex>

#include "vcl/sysutils.h"

namespace vcl {

VCL_IMPLEMENT_CLASS(TPropertyEditor)
VCL_IMPLEMENT_CLASS(TOrdinalProperty)
VCL_IMPLEMENT_CLASS(TIntegerProperty)
VCL_IMPLEMENT_CLASS(TCharProperty)
VCL_IMPLEMENT_CLASS(TEnumProperty)
VCL_IMPLEMENT_CLASS(TBoolProperty)
VCL_IMPLEMENT_CLASS(TStringProperty)
VCL_IMPLEMENT_CLASS(TMethodProperty)
VCL_IMPLEMENT_CLASS(TClassProperty)

namespace {

struct Designer {
  std::mutex lock;
  std::vector<TPalettePage> pages;
  std::vector<TPropertyEditorRegistration> editors;
  int dsgnintf_users = 0;
};

Designer& TheDesigner() {
  static Designer* designer = new Designer;  // never destroyed: packages may unload during exit
  return *designer;
}

void InitDsgnintf() {
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  ++d.dsgnintf_users;
}

void FinitDsgnintf() {
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  --d.dsgnintf_users;
}

}  // namespace

const PackageUnitEntry DsgnintfUnit = {&InitDsgnintf, &FinitDsgnintf};

bool DsgnintfInitialized() {
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  return d.dsgnintf_users > 0;
}

void RegisterComponents(const AnsiString& Page, const TComponentClass ComponentClasses[], int LastIndex) {
  for (int i = 0; i <= LastIndex; ++i) {
    TComponentClass c = ComponentClasses[i];
    if (!c || !c->InheritsFrom(TComponent::StaticClass())) {
      throw EComponentError("RegisterComponents: entry " + IntToStr(i) + " is not a component class");
    }
  }
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  auto page = std::find_if(d.pages.begin(), d.pages.end(), [&](const TPalettePage& p) { return p.Name == Page; });
  if (page == d.pages.end()) page = d.pages.insert(d.pages.end(), TPalettePage{Page, {}});
  for (int i = 0; i <= LastIndex; ++i) {
    TComponentClass c = ComponentClasses[i];
    if (std::find(page->Classes.begin(), page->Classes.end(), c) == page->Classes.end()) page->Classes.push_back(c);
    RegisterClass(c);
  }
}

void RegisterPropertyEditor(PTypeInfo PropertyType, TClass ComponentClass, const AnsiString& PropertyName,
                            TPropertyEditorClass EditorClass) {
  if (!PropertyType) throw EPropertyError("RegisterPropertyEditor: no property type");
  if (EditorClass && !EditorClass->InheritsFrom(TPropertyEditor::StaticClass())) {
    throw EPropertyError("RegisterPropertyEditor: " + EditorClass->ClassName() + " is not a property editor class");
  }
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  d.editors.push_back({PropertyType, ComponentClass, PropertyName, EditorClass});
}

std::vector<TPalettePage> GetPalettePages() {
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  return d.pages;
}

std::vector<TPropertyEditorRegistration> GetPropertyEditorRegistrations() {
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  return d.editors;
}

void ClearDesignerRegistrations() {
  Designer& d = TheDesigner();
  std::lock_guard guard(d.lock);
  d.pages.clear();
  d.editors.clear();
}

TPropertyEditorClass GetPropertyEditorClass(TClass ComponentClass, PPropInfo Prop) {
  if (!Prop || !Prop->PropType) return nullptr;
  {
    Designer& d = TheDesigner();
    std::lock_guard guard(d.lock);
    for (auto it = d.editors.rbegin(); it != d.editors.rend(); ++it) {
      if (it->PropertyType != Prop->PropType) continue;
      if (it->ComponentClass && !(ComponentClass && ComponentClass->InheritsFrom(it->ComponentClass))) continue;
      if (!it->PropertyName.IsEmpty() && !SameText(it->PropertyName, Prop->Name)) continue;
      return it->EditorClass;
    }
  }
  switch (Prop->Kind()) {
    case tkInteger: return TIntegerProperty::StaticClass();
    case tkChar: return TCharProperty::StaticClass();
    case tkEnumeration: return TEnumProperty::StaticClass();
    case tkBool: return TBoolProperty::StaticClass();
    case tkLString: return TStringProperty::StaticClass();
    case tkMethod: return TMethodProperty::StaticClass();
    case tkClass: return TClassProperty::StaticClass();
    default: return TPropertyEditor::StaticClass();
  }
}

void UnRegisterModuleClasses(HMODULE Module) {
  auto inModule = [Module](const void* p) { return ModuleContains(Module, p); };
  {
    Designer& d = TheDesigner();
    std::lock_guard guard(d.lock);
    for (TPalettePage& page : d.pages) std::erase_if(page.Classes, inModule);
    std::erase_if(d.pages, [](const TPalettePage& p) { return p.Classes.empty(); });
    std::erase_if(d.editors, [&](const TPropertyEditorRegistration& r) {
      return inModule(r.PropertyType) || inModule(r.ComponentClass) || inModule(r.EditorClass);
    });
  }
  for (TClass c : GetRegisteredClasses()) {
    if (inModule(c)) UnRegisterClass(c);
  }
}

}  // namespace vcl
