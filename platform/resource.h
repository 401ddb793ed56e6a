// Win32-shaped module loading and resource reading.
//
// A module is a shared library loaded with LoadLibraryA (dlopen underneath). Its resources are
// the Windows resources a library carries (description, package information, palette bitmap,
// icons, version record): typed, named or numbered blobs that the library embeds at build time
// (see cmake/QuellinResources.cmake) and that FindResourceA / LoadResource / LockResource /
// SizeofResource read back as on Windows.
//
// How a library carries them: it exports one object, ResourceDirectory, under the fixed name
// kResourceDirectorySymbol. A lookup only ever accepts the table that lies inside the module
// asked about, never one that the symbol search found in one of its dependencies, so a library
// without resources of its own has none even when it links a library that has some.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace win32 {

// ---- Types ------------------------------------------------------------------------------------
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HRSRC__;
using HRSRC = HRSRC__*;
using LPSTR = char*;
// The one function type every other casts from without complaint (-Wcast-function-type).
using FARPROC = void (*)();

// ---- Error codes (GetLastError) -----------------------------------------------------------
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;  // the module has no resources
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;

// ---- Resource names and types -----------------------------------------------------------------
// A name or type is either a string or an integer id below 0x10000 smuggled in the pointer, as
// on Windows. A string "#123" names the integer id 123.
inline bool IS_INTRESOURCE(LPCSTR name) {
  return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0;
}
inline LPSTR MAKEINTRESOURCEA(WORD id) {
  return reinterpret_cast<LPSTR>(static_cast<std::uintptr_t>(id));
}

inline constexpr WORD kRtBitmap = 2;
inline constexpr WORD kRtIcon = 3;
inline constexpr WORD kRtRcdata = 10;
inline constexpr WORD kRtGroupIcon = 14;
inline constexpr WORD kRtVersion = 16;
// The standard types are constants that turn into the integer-resource pointer where one is
// wanted. (Pointer constants would need run-time initialisation, and the unique symbols that
// brings would keep every library that includes this header from ever being unloaded.)
struct IntResource {
  WORD id;
  operator LPCSTR() const { return MAKEINTRESOURCEA(id); }
};
inline constexpr IntResource RT_BITMAP{kRtBitmap};
inline constexpr IntResource RT_ICON{kRtIcon};
inline constexpr IntResource RT_RCDATA{kRtRcdata};
inline constexpr IntResource RT_GROUP_ICON{kRtGroupIcon};
inline constexpr IntResource RT_VERSION{kRtVersion};

inline constexpr WORD LANG_NEUTRAL = 0;
inline constexpr WORD kLangEnglishUs = 0x0409;

// ---- Modules ------------------------------------------------------------------------------------
// Loads the library at path (a path with a slash, or a bare name searched as dlopen searches)
// with every symbol bound at once. Loading the same library again returns the same module and
// counts one more reference. On failure: null, and GetLastError gives
//   ERROR_INVALID_PARAMETER  null or empty path,
//   ERROR_MOD_NOT_FOUND      no such file (or a library it depends on is missing),
//   ERROR_BAD_EXE_FORMAT     the file is not a shared library for this machine,
//   ERROR_ACCESS_DENIED      the file cannot be read,
//   ERROR_PROC_NOT_FOUND     the library needs a symbol that nothing provides.
HMODULE LoadLibraryA(LPCSTR path);
// The loader's own account of the calling thread's last failed LoadLibraryA ("" if none).
const char* GetModuleLoadErrorText();
// Drops one reference; the library is unloaded with the last. A module not loaded (or already
// released) by LoadLibraryA gives FALSE with ERROR_INVALID_HANDLE.
BOOL FreeLibrary(HMODULE module);
// Finds a symbol exported by the module itself (not by the libraries it depends on), else null
// with ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// ---- Resources --------------------------------------------------------------------------------
// module null means the main program. Names and types compare case-insensitively (ASCII). Where
// one name has several languages, FindResourceA takes the neutral one, else the first stored.
// Failures give null and ERROR_INVALID_HANDLE (module not loaded), ERROR_RESOURCE_DATA_NOT_FOUND,
// ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND or ERROR_RESOURCE_LANG_NOT_FOUND.
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language);
// The data stays where the library holds it: valid until the module is freed, read-only.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);

// ---- The table a library exports ------------------------------------------------------------
// Layout revision 1. A type or name is a string when its pointer is set, else the integer id.
// Strings are stored in capitals, as resource compilers store them. Data is 8-byte aligned.
extern "C" {
struct ResourceEntry {
  const char* type_name;
  const char* name;
  WORD type_id;
  WORD name_id;
  WORD language;
  WORD reserved;
  DWORD size;
  const BYTE* data;
};
struct ResourceDirectory {
  DWORD magic;   // kResourceDirectoryMagic
  DWORD layout;  // kResourceDirectoryLayout
  DWORD count;
  const ResourceEntry* entries;
};
}
inline constexpr char kResourceDirectorySymbol[] = "quellin_resource_directory";
inline constexpr DWORD kResourceDirectoryMagic = 0x43525351;  // "QSRC" in memory order
inline constexpr DWORD kResourceDirectoryLayout = 1;

}  // namespace win32
