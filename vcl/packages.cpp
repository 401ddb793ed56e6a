#include "vcl/packages.h"

#include <dlfcn.h>

#include <exception>
#include <map>
#include <mutex>
#include <utility>

#include "vcl/classes.h"
#include "vcl/designintf.h"
#include "vcl/sysutils.h"

namespace vcl {

namespace {

using UnitKey = std::pair<TPackageUnitProc, TPackageUnitProc>;

struct Loader {
  std::recursive_mutex lock;        // Initialize may load further packages
  std::map<UnitKey, int> unit_refs;  // units initialised, by entry pair
  std::map<HMODULE, int> packages;   // loads per module
};

Loader& TheLoader() {
  static Loader* loader = new Loader;  // never destroyed: packages may unload during exit
  return *loader;
}

AnsiString ExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

void PackageLoad(PackageInfo Info) {
  if (!Info || Info->UnitCount <= 0 || !Info->UnitInfo) return;
  Loader& l = TheLoader();
  std::lock_guard guard(l.lock);
  int done = 0;
  try {
    for (; done < Info->UnitCount; ++done) {
      const PackageUnitEntry& u = Info->UnitInfo[done];
      if (l.unit_refs[{u.Init, u.FInit}]++ == 0 && u.Init) u.Init();
    }
  } catch (...) {
    // The failing unit counted itself but did not finish: take it out, then undo the others.
    for (int i = done; i >= 0; --i) {
      const PackageUnitEntry& u = Info->UnitInfo[i];
      if (--l.unit_refs[{u.Init, u.FInit}] == 0) {
        l.unit_refs.erase({u.Init, u.FInit});
        if (i < done && u.FInit) {
          try {
            u.FInit();
          } catch (...) {
          }
        }
      }
    }
    throw;
  }
}

void PackageUnload(PackageInfo Info) {
  if (!Info || Info->UnitCount <= 0 || !Info->UnitInfo) return;
  Loader& l = TheLoader();
  std::lock_guard guard(l.lock);
  std::exception_ptr first;
  for (int i = Info->UnitCount - 1; i >= 0; --i) {
    const PackageUnitEntry& u = Info->UnitInfo[i];
    auto it = l.unit_refs.find({u.Init, u.FInit});
    if (it == l.unit_refs.end()) continue;  // not initialised (or already finalised)
    if (--it->second > 0) continue;
    l.unit_refs.erase(it);
    if (!u.FInit) continue;
    try {
      u.FInit();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

HMODULE LoadPackage(const AnsiString& Name) {
  Loader& l = TheLoader();
  std::lock_guard guard(l.lock);
  HMODULE module = win32::LoadLibraryA(Name.c_str());
  if (!module) {
    win32::DWORD error = win32::GetLastError();
    AnsiString why = win32::GetModuleLoadErrorText();
    switch (error) {
      case win32::ERROR_MOD_NOT_FOUND:
        throw EPackageError("Package " + Name + " (or a library it needs) not found: " + why);
      case win32::ERROR_BAD_EXE_FORMAT:
        throw EPackageError(Name + " is not a package library: " + why);
      default:
        throw EPackageError("Cannot load package " + Name + ": " + why);
    }
  }
  int& loads = l.packages[module];
  if (loads > 0) {  // already initialised: just one more reference
    ++loads;
    return module;
  }
  auto initialize = reinterpret_cast<void (*)()>(win32::GetProcAddress(module, "Initialize"));
  if (!initialize) {
    l.packages.erase(module);
    win32::FreeLibrary(module);
    throw EPackageError(Name + " is not a package: it exports no Initialize");
  }
  // An exception thrown in the library may have its code there: take its text and let it go
  // before the library is released.
  bool failed = false;
  AnsiString why;
  try {
    initialize();
  } catch (...) {
    failed = true;
    why = ExceptionText();
  }
  if (failed) {
    l.packages.erase(module);
    UnRegisterModuleClasses(module);
    win32::FreeLibrary(module);
    throw EPackageError("Package " + Name + " failed to initialize: " + why);
  }
  loads = 1;
  return module;
}

void UnloadPackage(HMODULE Module) {
  Loader& l = TheLoader();
  std::lock_guard guard(l.lock);
  auto it = l.packages.find(Module);
  if (it == l.packages.end()) throw EPackageError("Not a loaded package module");
  if (--it->second > 0) {
    win32::FreeLibrary(Module);
    return;
  }
  l.packages.erase(it);
  bool failed = false;
  AnsiString why;
  if (auto finalize = reinterpret_cast<void (*)()>(win32::GetProcAddress(Module, "Finalize"))) {
    try {
      finalize();
    } catch (...) {  // as in LoadPackage: keep only the text past the release
      failed = true;
      why = ExceptionText();
    }
  }
  UnRegisterModuleClasses(Module);
  win32::FreeLibrary(Module);
  if (failed) throw EPackageError("Package finalization failed: " + why);
}

bool ModuleContains(HMODULE Module, const void* address) {
  if (!Module || !address) return false;
  // A symbol the module itself exports tells which loaded object it is.
  auto anchor = reinterpret_cast<const void*>(win32::GetProcAddress(Module, "Initialize"));
  if (!anchor) return false;
  auto object_of = [](const void* a) -> const void* {
    Dl_info info;
    link_map* map = nullptr;
    if (dladdr1(a, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return nullptr;
    return map;
  };
  const void* module_object = object_of(anchor);
  return module_object && object_of(address) == module_object;
}

}  // namespace vcl
