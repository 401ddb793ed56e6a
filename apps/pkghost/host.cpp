#include "apps/pkghost/host.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <span>
#include <sstream>

#include "apps/pkghost/resources.h"
#include "platform/package_info.h"

namespace pkghost {

namespace {

// The form a designed component is placed on; the host's own class, so a saved form can be
// read back through the class registry like any other.
class THostForm : public vcl::TComponent {
  VCL_DECLARE_CLASS(THostForm, vcl::TComponent)

 public:
  explicit THostForm(vcl::TComponent* AOwner) : vcl::TComponent(AOwner) {}
};
VCL_IMPLEMENT_CLASS(THostForm)

// A command's failure: its text is the one line the user sees.
struct CommandError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Trim(const std::string& s) {
  const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
  auto b = std::find_if_not(s.begin(), s.end(), space);
  auto e = std::find_if_not(s.rbegin(), s.rend(), space).base();
  return b < e ? std::string(b, e) : std::string();
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "build/packages/libquellin50.so" -> "quellin50"
std::string PackageName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.rfind("lib", 0) == 0) name.erase(0, 3);
  if (auto dot = name.find(".so"); dot != std::string::npos) name.erase(dot);
  return name;
}

std::optional<quellin::PackageInfo> ReadPackageInfo(vcl::HMODULE module) {
  win32::HRSRC found = win32::FindResourceA(module, "PACKAGEINFO", win32::RT_RCDATA);
  if (!found) return std::nullopt;
  const void* data = win32::LockResource(win32::LoadResource(module, found));
  return quellin::ParsePackageInfo(data, win32::SizeofResource(module, found));
}

bool ParseInteger(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  const bool hex = text[0] == '$';
  const std::string digits = hex ? text.substr(1) : text;
  if (digits.empty() || (hex && (digits[0] == '-' || digits[0] == '+'))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoll(digits.c_str(), &end, hex ? 16 : 10);
  return errno == 0 && end && *end == '\0';
}

std::string FormatOrdinal(vcl::PTypeInfo type, std::int64_t v) {
  switch (type->Kind) {
    case vcl::tkBool:
      return v ? "True" : "False";
    case vcl::tkEnumeration: {
      vcl::AnsiString name = vcl::GetEnumName(type, v);
      return name.IsEmpty() ? std::to_string(v) : name.str();
    }
    case vcl::tkChar: {
      const auto byte = static_cast<unsigned char>(static_cast<signed char>(v));
      if (byte >= 0x20 && byte < 0x7F && byte != '\'') return std::string("'") + char(byte) + "'";
      return "#" + std::to_string(byte);
    }
    default:
      return std::to_string(v);
  }
}

}  // namespace

// ---- Values
// ---------------------------------------------------------------------------------------

void AssignPropertyText(vcl::TObject* object, const std::string& property,
                        const std::string& text) {
  vcl::PPropInfo prop = vcl::GetPropInfo(object, property.c_str());
  if (!prop) {
    throw vcl::EPropertyError(object->ClassName() + " has no published property " +
                              property.c_str());
  }
  const vcl::AnsiString name = prop->Name;
  const auto refuse = [&](const char* wanted) {
    throw vcl::EConvertError("'" + vcl::AnsiString(text.c_str()) + "' is not " + wanted + " (" +
                             name + " is " + prop->PropType->Name + ")");
  };
  std::int64_t v = 0;
  switch (prop->Kind()) {
    case vcl::tkInteger:
      if (!ParseInteger(text, v)) refuse("an integer");
      vcl::SetOrdProp(object, prop, v);
      return;
    case vcl::tkChar:
      if (text.size() == 3 && text.front() == '\'' && text.back() == '\'') {
        v = static_cast<signed char>(text[1]);
      } else if (text.size() > 1 && text[0] == '#' && ParseInteger(text.substr(1), v) && v >= 0 &&
                 v <= 255) {
        v = static_cast<signed char>(static_cast<unsigned char>(v));
      } else if (!ParseInteger(text, v)) {
        refuse("a character ('c', #N or a number)");
      }
      vcl::SetOrdProp(object, prop, v);
      return;
    case vcl::tkEnumeration:
    case vcl::tkBool: {
      const int ordinal = vcl::GetEnumValue(prop->PropType, text.c_str());
      if (ordinal >= 0) {
        v = ordinal;
      } else if (!ParseInteger(text, v)) {
        refuse("a value name");
      }
      vcl::SetOrdProp(object, prop, v);
      return;
    }
    case vcl::tkLString: {
      std::string s = text;
      if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'') s = s.substr(1, s.size() - 2);
      vcl::SetStrProp(object, prop, vcl::AnsiString(s.data(), static_cast<int>(s.size())));
      return;
    }
    default:
      throw vcl::EPropertyError(name + " (" + prop->PropType->Name + ") cannot be set from text");
  }
}

std::string FormatDefault(vcl::PPropInfo prop) {
  if (!prop->PropType || !prop->PropType->IsOrdinal() || !prop->HasDefault) return "";
  return FormatOrdinal(prop->PropType, prop->Default);
}

// ---- Host
// -----------------------------------------------------------------------------------------

Host::Host(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

Host::~Host() {
  if (!module_) return;
  try {
    Unload();
  } catch (const std::exception& e) {
    err_ << "error: " << e.what() << "\n";
  }
}

const char* Host::HelpText() {
  return "commands:\n"
         "  mode design|runtime   how the next package is loaded (design runs Register)\n"
         "  load PATH             load a package library and initialize it\n"
         "  unload                finalize and release the loaded package\n"
         "  status                what is loaded, and how\n"
         "  palette               palette pages and their component classes\n"
         "  editors               registered property editors\n"
         "  resources             description, package info, bitmap, icon and version\n"
         "  set PROP=VALUE        a setting for the components that inspect and form create\n"
         "  set                   list the settings;  unset: forget them\n"
         "  inspect [CLASS]       object inspector for a new component\n"
         "  form [CLASS]          a form holding a component: save it, load it back, compare\n"
         "  help, quit\n";
}

bool Host::Execute(const std::string& line) {
  const std::string text = Trim(line);
  if (text.empty() || text[0] == '#') return true;
  const auto split = text.find_first_of(" \t");
  const std::string command = Lower(text.substr(0, split));
  const std::string args = split == std::string::npos ? "" : Trim(text.substr(split));
  // An exception from a package may live in the package: only its text is kept.
  std::string failure;
  try {
    return Run(command, args);
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  err_ << "error: " << failure << "\n";
  return false;
}

bool Host::Run(const std::string& command, const std::string& args) {
  if (command == "help" || command == "?") {
    out_ << HelpText();
  } else if (command == "quit" || command == "exit") {
    quit_ = true;
  } else if (command == "mode") {
    SetMode(args);
  } else if (command == "load") {
    Load(args);
  } else if (command == "unload") {
    Unload();
  } else if (command == "status") {
    Status();
  } else if (command == "palette") {
    Palette();
  } else if (command == "editors") {
    Editors();
  } else if (command == "resources") {
    Resources();
  } else if (command == "set") {
    Set(args);
  } else if (command == "unset") {
    settings_.clear();
  } else if (command == "inspect") {
    Inspect(args);
  } else if (command == "form") {
    FormRoundTrip(args);
  } else {
    throw CommandError("unknown command '" + command + "' (try help)");
  }
  return true;
}

void Host::SetMode(const std::string& args) {
  Mode mode;
  if (Lower(args) == "design") {
    mode = Mode::Design;
  } else if (Lower(args) == "runtime" || Lower(args) == "run-time") {
    mode = Mode::RunTime;
  } else {
    throw CommandError("mode takes 'design' or 'runtime'");
  }
  if (module_ && mode != mode_) throw CommandError("unload " + name_ + " before changing the mode");
  mode_ = mode;
}

void Host::Load(const std::string& path) {
  if (path.empty()) throw CommandError("load needs the path of a package library");
  if (module_) throw CommandError(name_ + " is loaded already: unload it first");
  vcl::HMODULE module = vcl::LoadPackage(path.c_str());
  module_ = module;
  path_ = path;
  name_ = PackageName(path);
  out_ << "loaded " << name_ << " (" << path << ") for "
       << (mode_ == Mode::Design ? "design" : "run time") << "\n";
  // A Register that fails leaves its package loaded, as a designer does: what it registered
  // before failing stays listed, and unload takes it away.
  if (mode_ == Mode::Design) RunRegister();
}

void Host::RunRegister() {
  auto info = ReadPackageInfo(module_);
  if (!info) {
    out_ << "no package information: no unit to register\n";
    return;
  }
  for (const quellin::PackageUnit& unit : info->units) {
    if (!(unit.flags & quellin::kUnitRegisters)) continue;
    const std::string entry = unit.name + "_Register";
    auto reg = reinterpret_cast<void (*)()>(win32::GetProcAddress(module_, entry.c_str()));
    if (!reg)
      throw CommandError("unit " + unit.name + " registers, but " + entry + " is not exported");
    std::string failure;
    try {
      reg();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    if (!failure.empty())
      throw CommandError("Register of unit " + unit.name + " failed: " + failure);
    out_ << "registered unit " << unit.name << "\n";
  }
}

void Host::Unload() {
  RequireLoaded();
  vcl::HMODULE module = module_;
  const std::string name = name_;
  // Forgotten first: whatever the release says, the module handle is spent.
  module_ = nullptr;
  path_.clear();
  name_.clear();
  vcl::UnloadPackage(module);
  out_ << "unloaded " << name << "\n";
}

void Host::Status() {
  out_ << "mode: " << (mode_ == Mode::Design ? "design" : "runtime") << "\n";
  if (module_) {
    out_ << "loaded: " << name_ << " (" << path_ << ")\n";
  } else {
    out_ << "loaded: nothing\n";
  }
}

void Host::Palette() {
  auto pages = vcl::GetPalettePages();
  if (pages.empty()) out_ << "palette: empty\n";
  for (const auto& page : pages) {
    out_ << "page " << page.Name << ":";
    for (vcl::TComponentClass c : page.Classes) out_ << " " << c->ClassName();
    out_ << "\n";
  }
}

void Host::Editors() {
  auto editors = vcl::GetPropertyEditorRegistrations();
  if (editors.empty()) out_ << "property editors: none registered\n";
  for (const auto& r : editors) {
    out_ << (r.ComponentClass ? r.ComponentClass->ClassName().str() : "(any class)") << "."
         << (r.PropertyName.IsEmpty() ? "*" : r.PropertyName.str()) << " of type "
         << r.PropertyType->Name << " -> "
         << (r.EditorClass ? r.EditorClass->ClassName().str() : "(hidden)") << "\n";
  }
}

void Host::Resources() {
  RequireLoaded();
  std::vector<std::string> classes;
  for (vcl::TClass c : vcl::GetRegisteredClasses()) {
    if (vcl::ModuleContains(module_, c) && c->CanCreate()) classes.push_back(c->ClassName().str());
  }
  PrintResources(out_, module_, classes);
}

void Host::Set(const std::string& args) {
  if (args.empty()) {
    if (settings_.empty()) out_ << "no settings\n";
    for (const auto& [prop, value] : settings_) out_ << prop << "=" << value << "\n";
    return;
  }
  const auto eq = args.find('=');
  if (eq == std::string::npos || Trim(args.substr(0, eq)).empty()) {
    throw CommandError("set takes PROPERTY=VALUE");
  }
  const std::string prop = Trim(args.substr(0, eq));
  const std::string value = Trim(args.substr(eq + 1));
  // Checked on a scratch component when the class is at hand, so a mistake shows now.
  if (module_) {
    vcl::TComponent scratch(nullptr);
    scratch.SetDesigning(true);
    vcl::TComponent* c = ComponentClass("")->Create(&scratch);
    AssignPropertyText(c, prop, value);
  }
  std::erase_if(settings_, [&](const auto& s) { return Lower(s.first) == Lower(prop); });
  settings_.emplace_back(prop, value);
}

void Host::RequireLoaded() const {
  if (!module_) throw CommandError("no package loaded (load PATH)");
}

vcl::TClass Host::ComponentClass(const std::string& name) const {
  RequireLoaded();
  if (!name.empty()) {
    vcl::TClass c = vcl::GetClass(name.c_str());
    if (!c) throw CommandError("no class " + name + " is registered");
    if (!c->CanCreate()) throw CommandError(name + " is not a component class that can be created");
    return c;
  }
  for (vcl::TClass c : vcl::GetRegisteredClasses()) {
    if (vcl::ModuleContains(module_, c) && c->CanCreate()) return c;
  }
  throw CommandError(name_ + " registers no component class");
}

vcl::TComponent* Host::NewComponent(vcl::TClass cls, vcl::TComponent* owner, const char* name) {
  vcl::TComponent* c = cls->Create(owner);
  c->Name = name;
  for (const auto& [prop, value] : settings_) AssignPropertyText(c, prop, value);
  return c;
}

std::string Host::PropertyText(vcl::TComponent* component, vcl::PPropInfo prop) {
  switch (prop->Kind()) {
    case vcl::tkMethod:
      return prop->IsAssigned && prop->IsAssigned(component) ? "(assigned)" : "(unassigned)";
    case vcl::tkClass:
      return "(object)";
    default:
      return vcl::FormatPropertyValue(component, prop).str();
  }
}

std::vector<std::pair<std::string, std::string>> Host::PropertyValues(vcl::TComponent* component) {
  std::vector<std::pair<std::string, std::string>> values;
  for (const auto& p : vcl::GetPropList(component->ClassType())) {
    values.emplace_back(p.Name.str(), PropertyText(component, &p));
  }
  return values;
}

void Host::PrintProperties(vcl::TComponent* component, bool withDefaults) {
  vcl::TClass cls = component->ClassType();
  std::size_t width = 8;
  for (const auto& p : vcl::GetPropList(cls)) width = std::max(width, p.Name.str().size());
  std::ostringstream table;
  table << std::left;
  if (withDefaults) {
    table << "  " << std::setw(static_cast<int>(width)) << "Property"
          << "  " << std::setw(16) << "Type"
          << "  " << std::setw(18) << "Value"
          << "  " << std::setw(12) << "Default"
          << "  Editor\n";
  }
  for (const auto& p : vcl::GetPropList(cls)) {
    const std::string value = PropertyText(component, &p);
    table << "  " << std::setw(static_cast<int>(width)) << p.Name.str() << "  ";
    if (!withDefaults) {
      table << value << "\n";
      continue;
    }
    std::string def = p.ReadOnly ? "(read-only)" : FormatDefault(&p);
    if (def.empty()) def = "-";
    vcl::TPropertyEditorClass editor = vcl::GetPropertyEditorClass(cls, &p);
    table << std::setw(16) << p.PropType->Name.str() << "  " << std::setw(18) << value << "  "
          << std::setw(12) << def << "  " << (editor ? editor->ClassName().str() : "(hidden)")
          << "\n";
  }
  out_ << table.str();
}

void Host::Inspect(const std::string& className) {
  vcl::TClass cls = ComponentClass(className);
  vcl::TComponent owner(nullptr);
  if (mode_ == Mode::Design) owner.SetDesigning(true);
  vcl::TComponent* c = NewComponent(cls, &owner, "Inspected1");
  out_ << c->Name << ": " << cls->ClassName() << " ("
       << (c->ComponentState.Contains(vcl::csDesigning) ? "designing" : "run time") << ")\n";
  PrintProperties(c, true);
}

void Host::FormRoundTrip(const std::string& className) {
  vcl::TClass cls = ComponentClass(className);
  // Forms live under a root that is designing in design mode, so everything built or read
  // under it is designing too.
  vcl::TComponent root(nullptr);
  if (mode_ == Mode::Design) root.SetDesigning(true);

  auto* form = new THostForm(&root);
  form->Name = "Form1";
  vcl::TComponent* c = NewComponent(cls, form, (cls->ClassName().str().substr(1) + "1").c_str());
  const std::string component_name = c->GetName().str();
  const std::vector<std::pair<std::string, std::string>> before = PropertyValues(c);
  const vcl::AnsiString saved = vcl::WriteComponentText(form);
  delete form;
  out_ << "saved form:\n" << saved.str();

  vcl::TComponent* loaded = vcl::ReadComponentText(saved, &root);
  std::unique_ptr<vcl::TComponent> hold(loaded);
  vcl::TComponent* back = loaded->FindComponent(component_name.c_str());
  out_ << "loaded back: " << loaded->Name << ": " << loaded->ClassName() << " holding "
       << loaded->ComponentCount
       << (loaded->ComponentCount == 1 ? " component\n" : " components\n");
  if (!back) throw CommandError("the form came back without " + component_name);
  out_ << back->Name << ": " << back->ClassName() << " ("
       << (back->ComponentState.Contains(vcl::csDesigning) ? "designing" : "run time") << ")\n";
  PrintProperties(back, false);
  // A value equal to its recorded default is left out of the file, so the property comes back
  // with its construction value, which may be another.
  const auto after = PropertyValues(back);
  bool same = true;
  for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
    if (before[i].first == "Name" || before[i].second == after[i].second) continue;
    if (same) out_ << "came back different:\n";
    same = false;
    out_ << "  " << before[i].first << ": saved " << before[i].second << ", loaded "
         << after[i].second << "\n";
  }
  if (same) out_ << "every property came back as it was saved\n";
}

}  // namespace pkghost
