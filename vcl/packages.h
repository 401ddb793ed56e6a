// Packages: libraries that carry units, loaded by a host.
//
// A package library exports, under these plain names,
//   extern "C" void Initialize();   // hands the package's unit table to vcl::PackageLoad
//   extern "C" void Finalize();     // hands the same table to vcl::PackageUnload
// and keeps a table of its units' entry points:
//   static const vcl::PackageUnitEntry units[] = {{&InitA, &FinitA}, {&InitB, nullptr}};
//   static const vcl::PackageInfoTable table = {2, units};
//   extern "C" void Initialize() { vcl::PackageLoad(&table); }
//   extern "C" void Finalize() { vcl::PackageUnload(&table); }
//
// The host loads it with LoadPackage (the module handle also serves the platform's
// GetProcAddress and resource functions) and releases it with UnloadPackage. Package, runtime and
// host are shared libraries of one process: one heap, one class registry.
#pragma once

#include "platform/resource.h"
#include "vcl/ansistring.h"

namespace vcl {

using win32::HMODULE;

using TPackageUnitProc = void (*)();
struct PackageUnitEntry {
  TPackageUnitProc Init;   // may be null
  TPackageUnitProc FInit;  // may be null
};
struct PackageInfoTable {
  int UnitCount;
  const PackageUnitEntry* UnitInfo;
};
using PackageInfo = const PackageInfoTable*;

// Runs the units' Init entries in table order. A unit listed by several loaded packages (the same
// entries) is initialised once, by the first, and finalised by the last unload. If an Init throws,
// the units this call initialised are finalised in reverse order and the exception passes on.
void PackageLoad(PackageInfo Info);
// Runs the FInit entries in reverse table order. An exception from one does not stop the others;
// the first is passed on at the end.
void PackageUnload(PackageInfo Info);

// Loads a package library and calls its Initialize (once per library, however often it is
// loaded). EPackageError, with the host left as it was, when the file is missing, is not a
// library, exports no Initialize, or Initialize fails.
HMODULE LoadPackage(const AnsiString& Name);
// Calls Finalize on the last unload, drops the designer registrations and classes the library
// brought, and releases it. EPackageError for a module LoadPackage did not hand out.
void UnloadPackage(HMODULE Module);

// True when address lies inside the given loaded package library (one that exports Initialize).
bool ModuleContains(HMODULE Module, const void* address);

}  // namespace vcl
