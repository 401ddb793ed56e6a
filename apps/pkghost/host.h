// The package host: the designer's side of a package, one command at a time.
//
//   Host host(std::cout, std::cerr);
//   host.Execute("mode design");
//   host.Execute("load build/packages/libquellin50.so");
//   host.Execute("palette");
//   host.Execute("set BaudRate=115200");
//   host.Execute("form");
//   host.Execute("unload");
//
// Commands are listed by "help". A failed command writes one line "error: ..." to the error
// stream, returns false and leaves the host as it was, so the next command works.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "vcl/vcl.h"

namespace pkghost {

enum class Mode { Design, RunTime };

class Host {
 public:
  Host(std::ostream& out, std::ostream& err);
  ~Host();  // unloads a package still loaded
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Runs one command line; empty lines and lines starting with '#' do nothing.
  bool Execute(const std::string& line);
  bool QuitRequested() const { return quit_; }

  bool Loaded() const { return module_ != nullptr; }
  Mode CurrentMode() const { return mode_; }

  static const char* HelpText();

 private:
  bool Run(const std::string& command, const std::string& args);

  void SetMode(const std::string& args);
  void Load(const std::string& path);
  void RunRegister();
  void Unload();
  void Status();
  void Palette();
  void Editors();
  void Resources();
  void Inspect(const std::string& className);
  void FormRoundTrip(const std::string& className);
  void Set(const std::string& args);

  void RequireLoaded() const;
  // The component class to create: the one named, else the first creatable class of the package.
  vcl::TClass ComponentClass(const std::string& name) const;
  // A new component of cls owned by owner, with the pending settings applied.
  vcl::TComponent* NewComponent(vcl::TClass cls, vcl::TComponent* owner, const char* name);
  void PrintProperties(vcl::TComponent* component, bool withDefaults);
  static std::string PropertyText(vcl::TComponent* component, vcl::PPropInfo prop);
  static std::vector<std::pair<std::string, std::string>> PropertyValues(
      vcl::TComponent* component);

  std::ostream& out_;
  std::ostream& err_;
  Mode mode_ = Mode::Design;
  vcl::HMODULE module_ = nullptr;
  std::string path_;
  std::string name_;
  std::vector<std::pair<std::string, std::string>> settings_;  // set Prop=Value, in order
  bool quit_ = false;
};

// Turns the text of a value into what the property takes and assigns it: integers in decimal or
// $hex, characters as 'c', #N or a number, enumerations and booleans by value name (or ordinal),
// strings as given (one pair of surrounding quotes is dropped). vcl exceptions on refusal.
void AssignPropertyText(vcl::TObject* object, const std::string& property, const std::string& text);

// The recorded default of an ordinal property as a form file would write it; "" when none.
std::string FormatDefault(vcl::PPropInfo prop);

}  // namespace pkghost
