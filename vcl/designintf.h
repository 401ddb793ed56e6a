// The designer's registration interface: the component palette and property editors.
//
//   void Register() {
//     vcl::TComponentClass classes[1] = {vcl::classid<TQuellin>()};
//     vcl::RegisterComponents("Quellin", classes, 0);
//     vcl::RegisterPropertyEditor(vcl::TypeInfoOf<TDataBits>(), vcl::classid<TQuellin>(),
//                                 "DataBits", vcl::classid<vcl::TStringProperty>());
//   }
//
// A host (a designer, a tool, a test) lists what was registered, in order, and can clear it.
// Registrations that a package brought go when the package is unloaded.
#pragma once

#include <vector>

#include "vcl/classes.h"
#include "vcl/packages.h"

namespace vcl {

// ---- Property editors (their classes are what registrations name) ---------------------------------

class TPropertyEditor : public TPersistent {
  VCL_DECLARE_CLASS(TPropertyEditor, TPersistent)
};
class TOrdinalProperty : public TPropertyEditor {
  VCL_DECLARE_CLASS(TOrdinalProperty, TPropertyEditor)
};
class TIntegerProperty : public TOrdinalProperty {
  VCL_DECLARE_CLASS(TIntegerProperty, TOrdinalProperty)
};
class TCharProperty : public TOrdinalProperty {
  VCL_DECLARE_CLASS(TCharProperty, TOrdinalProperty)
};
class TEnumProperty : public TOrdinalProperty {
  VCL_DECLARE_CLASS(TEnumProperty, TOrdinalProperty)
};
class TBoolProperty : public TEnumProperty {
  VCL_DECLARE_CLASS(TBoolProperty, TEnumProperty)
};
class TStringProperty : public TPropertyEditor {
  VCL_DECLARE_CLASS(TStringProperty, TPropertyEditor)
};
class TMethodProperty : public TPropertyEditor {
  VCL_DECLARE_CLASS(TMethodProperty, TPropertyEditor)
};
class TClassProperty : public TPropertyEditor {
  VCL_DECLARE_CLASS(TClassProperty, TPropertyEditor)
};

using TPropertyEditorClass = TMetaClass*;

// ---- Registration ---------------------------------------------------------------------------------

// Adds ComponentClasses[0..LastIndex] to the palette page (created on first use), in order; a
// class already on that page is not added twice. EComponentError for a null entry or a class
// that is not a component class.
void RegisterComponents(const AnsiString& Page, const TComponentClass ComponentClasses[], int LastIndex);

// Records that properties of PropertyType, published by ComponentClass (or a descendant; null:
// any class) under PropertyName (empty: any name), are edited with EditorClass (null: no editor,
// the property is hidden). EPropertyError for a null type or an editor class that is not a
// TPropertyEditor.
void RegisterPropertyEditor(PTypeInfo PropertyType, TClass ComponentClass, const AnsiString& PropertyName,
                            TPropertyEditorClass EditorClass);

struct TPalettePage {
  AnsiString Name;
  std::vector<TComponentClass> Classes;  // in registration order
};
struct TPropertyEditorRegistration {
  PTypeInfo PropertyType;
  TClass ComponentClass;
  AnsiString PropertyName;
  TPropertyEditorClass EditorClass;
};

// Palette pages in the order they were first used.
std::vector<TPalettePage> GetPalettePages();
// Property-editor registrations in the order they were made.
std::vector<TPropertyEditorRegistration> GetPropertyEditorRegistrations();
void ClearDesignerRegistrations();

// The editor a designer uses for a property of ComponentClass: the latest registration whose type
// is the property's, whose class is ComponentClass or an ancestor (or null), and whose name is the
// property's (or empty); else the standard editor for the property's kind.
TPropertyEditorClass GetPropertyEditorClass(TClass ComponentClass, PPropInfo Prop);

// Drops the palette entries, editor registrations and registered classes that live in a package
// library (UnloadPackage calls it before releasing the library).
void UnRegisterModuleClasses(HMODULE Module);

// The designer-interface unit, for package unit tables (as the VCL's Dsgnintf): its
// initialisation counts how many loaded packages use it.
extern const PackageUnitEntry DsgnintfUnit;
bool DsgnintfInitialized();

}  // namespace vcl
