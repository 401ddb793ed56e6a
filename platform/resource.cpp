#include "platform/resource.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace win32 {

namespace {

struct Module {
  void* handle = nullptr;
  link_map* map = nullptr;
  const ResourceDirectory* resources = nullptr;
  unsigned references = 0;
};

// Modules handed out by LoadLibraryA, keyed by their dlopen handle (which is also the HMODULE).
// A value that is not here was never loaded or has been freed; it is refused rather than handed
// to the dynamic loader, which would trust it blindly.
std::mutex registry_mutex;
std::map<void*, Module>& Registry() {
  static auto* modules = new std::map<void*, Module>;  // outlives every static destructor
  return *modules;
}

thread_local std::string load_error_text;

// The symbol search of dlsym walks the module's dependencies too, so a symbol found through a
// handle may belong to another library. Only accept what lies inside the module itself.
bool LiesIn(const void* address, const link_map* module) {
  Dl_info info;
  link_map* owner = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0) return false;
  return owner == module;
}

void* OwnSymbol(void* handle, const link_map* module, const char* name) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr || !LiesIn(symbol, module)) return nullptr;
  return symbol;
}

const ResourceDirectory* OwnResources(void* handle, const link_map* module) {
  const auto* directory =
      static_cast<const ResourceDirectory*>(OwnSymbol(handle, module, kResourceDirectorySymbol));
  if (directory == nullptr || directory->magic != kResourceDirectoryMagic ||
      directory->layout != kResourceDirectoryLayout ||
      (directory->count != 0 && directory->entries == nullptr)) {
    return nullptr;
  }
  return directory;
}

Module Describe(void* handle) {
  Module m;
  m.handle = handle;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &m.map) != 0) m.map = nullptr;
  if (m.map != nullptr) m.resources = OwnResources(handle, m.map);
  return m;
}

const Module& MainProgram() {
  static const Module main = Describe(dlopen(nullptr, RTLD_LAZY));
  return main;
}

// Copies the record of a live module; the caller holds registry_mutex.
std::optional<Module> Resolve(HMODULE module) {
  if (module == nullptr) return MainProgram();
  auto& modules = Registry();
  auto it = modules.find(reinterpret_cast<void*>(module));
  if (it == modules.end()) return std::nullopt;
  return it->second;
}

// ---- Telling why a library did not load ------------------------------------------------------

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__arm__)
constexpr int kMachine = EM_ARM;
#elif defined(__riscv)
constexpr int kMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr int kMachine = EM_PPC64;
#else
constexpr int kMachine = -1;  // unknown here: leave the verdict to the loader's message
#endif

// For a path we can examine the file ourselves: the loader's messages for a missing file and
// for a foreign one are not always distinct.
std::optional<DWORD> ClassifyFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
    return ERROR_MOD_NOT_FOUND;
  }
  struct stat st {};
  ElfW(Ehdr) header{};
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ssize_t got = regular ? pread(fd, &header, sizeof header, 0) : -1;
  close(fd);
  if (!regular || got != static_cast<ssize_t>(sizeof header)) return ERROR_BAD_EXE_FORMAT;
  const bool little = std::endian::native == std::endian::little;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_ident[EI_DATA] != (little ? ELFDATA2LSB : ELFDATA2MSB) || header.e_type != ET_DYN ||
      (kMachine >= 0 && header.e_machine != kMachine)) {
    return ERROR_BAD_EXE_FORMAT;
  }
  return std::nullopt;  // a library of ours that failed for another reason
}

DWORD Classify(const char* path, std::string_view message) {
  if (std::strchr(path, '/') != nullptr) {
    if (auto verdict = ClassifyFile(path)) return *verdict;
  }
  auto says = [&](std::string_view text) { return message.find(text) != std::string_view::npos; };
  if (says("undefined symbol")) return ERROR_PROC_NOT_FOUND;
  if (says("invalid ELF header") || says("file too short") || says("wrong ELF class") ||
      says("ET_DYN") || says("position-independent executable") || says("Is a directory")) {
    return ERROR_BAD_EXE_FORMAT;
  }
  if (says("Permission denied")) return ERROR_ACCESS_DENIED;
  return ERROR_MOD_NOT_FOUND;  // the file or one of the libraries it needs is missing
}

// ---- Resource names ---------------------------------------------------------------------------

struct Key {
  bool numeric = false;
  WORD id = 0;
  const char* text = nullptr;
};

std::optional<Key> ParseKey(LPCSTR name) {
  if (IS_INTRESOURCE(name)) {
    return Key{true, static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name)), nullptr};
  }
  if (name[0] != '#') return Key{false, 0, name};
  std::uint32_t value = 0;
  const char* p = name + 1;
  if (*p == '\0') return std::nullopt;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(*p - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  return Key{true, static_cast<WORD>(value), nullptr};
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameText(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (Upper(*a) != Upper(*b)) return false;
  }
  return *a == *b;
}

bool Matches(const Key& key, const char* text, WORD id) {
  if (key.numeric) return text == nullptr && id == key.id;
  return text != nullptr && SameText(text, key.text);
}

HRSRC Find(HMODULE module, LPCSTR type, LPCSTR name, std::optional<WORD> language) {
  if (type == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto type_key = ParseKey(type);
  auto name_key = ParseKey(name);
  std::lock_guard lock(registry_mutex);
  auto m = Resolve(module);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (m->resources == nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  bool type_seen = false;
  bool name_seen = false;
  const ResourceEntry* first = nullptr;
  const ResourceDirectory& dir = *m->resources;
  for (DWORD i = 0; type_key && i < dir.count; ++i) {
    const ResourceEntry& e = dir.entries[i];
    if (!Matches(*type_key, e.type_name, e.type_id)) continue;
    type_seen = true;
    if (!name_key || !Matches(*name_key, e.name, e.name_id)) continue;
    name_seen = true;
    if (language ? e.language == *language : e.language == LANG_NEUTRAL) {
      return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(&e));
    }
    if (first == nullptr) first = &e;
  }
  if (!language && first != nullptr) {
    return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(first));
  }
  SetLastError(!type_seen   ? ERROR_RESOURCE_TYPE_NOT_FOUND
               : !name_seen ? ERROR_RESOURCE_NAME_NOT_FOUND
                            : ERROR_RESOURCE_LANG_NOT_FOUND);
  return nullptr;
}

// The entry behind a resource handle, provided it belongs to the module's own table.
const ResourceEntry* Entry(HMODULE module, HRSRC resource) {
  std::lock_guard lock(registry_mutex);
  auto m = Resolve(module);
  if (!m || m->resources == nullptr || resource == nullptr) return nullptr;
  const ResourceEntry* begin = m->resources->entries;
  const ResourceEntry* end = begin + m->resources->count;
  for (const ResourceEntry* e = begin; e != end; ++e) {
    if (reinterpret_cast<const void*>(e) == reinterpret_cast<const void*>(resource)) return e;
  }
  return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR path) {
  if (path == nullptr || *path == '\0') {
    load_error_text = "no library named";
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Library constructors may load libraries themselves, so the registry is not held here.
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* message = dlerror();
    load_error_text = message != nullptr ? message : "the library could not be loaded";
    SetLastError(Classify(path, load_error_text));
    return nullptr;
  }
  Module described = Describe(handle);
  {
    std::lock_guard lock(registry_mutex);
    auto [it, fresh] = Registry().try_emplace(handle, described);
    ++it->second.references;
  }
  load_error_text.clear();
  return reinterpret_cast<HMODULE>(handle);
}

const char* GetModuleLoadErrorText() {
  return load_error_text.c_str();
}

BOOL FreeLibrary(HMODULE module) {
  void* handle = reinterpret_cast<void*>(module);
  {
    std::lock_guard lock(registry_mutex);
    auto& modules = Registry();
    auto it = modules.find(handle);
    if (it == modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.references == 0) modules.erase(it);
  }
  // Each LoadLibraryA took one dlopen reference; this gives exactly one back.
  dlclose(handle);
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  std::optional<Module> m;
  {
    std::lock_guard lock(registry_mutex);
    m = Resolve(module);
  }
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Exports by ordinal do not exist here.
  void* symbol = (name == nullptr || IS_INTRESOURCE(name) || m->map == nullptr)
                     ? nullptr
                     : OwnSymbol(m->handle, m->map, name);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  return Find(module, type, name, std::nullopt);
}

HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  return Find(module, type, name, language);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  const ResourceEntry* e = Entry(module, resource);
  if (e == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<BYTE*>(e->data);
}

LPVOID LockResource(HGLOBAL data) {
  return data;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  const ResourceEntry* e = Entry(module, resource);
  if (e == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return e->size;
}

}  // namespace win32
