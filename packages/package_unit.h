// What every Quellin package library carries besides the component unit itself: the unit table,
// the package entry points and the component unit's designer entry.
//
// Exported symbols (extern "C", plain names, looked up with GetProcAddress):
//   Initialize, Finalize          hand the unit table to vcl::PackageLoad / vcl::PackageUnload
//   PackageUnitTable              the unit table itself, for tools that want to inspect it
//   <Unit>_Initialization         a unit's initialization entry, for each unit of the package
//   <Unit>_Finalization           a unit's finalization entry
//   Quellin_Register              the component unit's Register (Quellin::Register)
//
// A unit's exported names are its name followed by "_Initialization", "_Finalization" and, for a
// unit that PACKAGEINFO marks kUnitRegisters, "_Register": a designer that reads the unit list
// from PACKAGEINFO finds each unit's Register without knowing the package.
//
// The table lists, in initialization order, the runtime's designer-interface unit (Register
// calls into it, so it must be up first, even at run time), the package unit, then the component
// unit.
#pragma once

#include "vcl/designintf.h"
#include "vcl/packages.h"

#define QUELLIN_EXPORT extern "C" __attribute__((visibility("default")))

// The component unit's entries (packages/component_unit.cpp).
QUELLIN_EXPORT void Quellin_Initialization();
QUELLIN_EXPORT void Quellin_Finalization();
QUELLIN_EXPORT void Quellin_Register();

// Defines the package unit <Unit> (it has no work of its own), the unit table and the package
// entry points. Used once per package library.
#define QUELLIN_PACKAGE_UNIT(Unit)                                                \
  QUELLIN_EXPORT void Unit##_Initialization() {}                                  \
  QUELLIN_EXPORT void Unit##_Finalization() {}                                    \
  namespace {                                                                     \
  const vcl::PackageUnitEntry quellin_package_units[] = {                         \
      vcl::DsgnintfUnit,                                                          \
      {&Unit##_Initialization, &Unit##_Finalization},                             \
      {&Quellin_Initialization, &Quellin_Finalization},                           \
  };                                                                              \
  const vcl::PackageInfoTable quellin_package_table = {                           \
      static_cast<int>(std::size(quellin_package_units)), quellin_package_units}; \
  }                                                                               \
  QUELLIN_EXPORT const vcl::PackageInfoTable* PackageUnitTable() {                \
    return &quellin_package_table;                                                \
  }                                                                               \
  QUELLIN_EXPORT void Initialize() {                                              \
    vcl::PackageLoad(&quellin_package_table);                                     \
  }                                                                               \
  QUELLIN_EXPORT void Finalize() {                                                \
    vcl::PackageUnload(&quellin_package_table);                                   \
  }
