// quellin-pkghost: loads a component package the way a designer (or an application) does and
// shows what it brings.
//
//   quellin-pkghost [--design|--runtime] PACKAGE [ACTION...]   one run, then unload
//   quellin-pkghost                                            commands from standard input
//
// Actions, in the order given: --palette, --editors, --resources, --inspect, --form,
// --set PROP=VALUE (applies to the --inspect and --form after it). With a package and no action
// it shows the palette and editors (design) and the resources. Reading commands from standard
// input, it prompts when that is a terminal; "help" lists the commands.
//
// Exit status: 0 when every command succeeded, 1 when one failed, 2 for a usage mistake.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "apps/pkghost/host.h"

namespace {

void Usage(std::ostream& out) {
  out << "usage: quellin-pkghost [--design|--runtime] PACKAGE [--palette] [--editors] "
         "[--resources] [--set PROP=VALUE]... [--inspect] [--form]\n"
         "       quellin-pkghost [--design|--runtime]   (commands from standard input)\n";
}

int Interactive(pkghost::Host& host) {
  const bool prompt = isatty(STDIN_FILENO);
  if (prompt) std::cout << "quellin-pkghost: type help for the commands\n";
  bool all_ok = true;
  std::string line;
  while (!host.QuitRequested()) {
    if (prompt) std::cout << "pkghost> " << std::flush;
    if (!std::getline(std::cin, line)) break;
    // A person retries after a mistake; a script's failure shows in the exit status.
    if (!host.Execute(line)) all_ok = false;
    std::cout << std::flush;
  }
  if (host.Loaded()) all_ok = host.Execute("unload") && all_ok;
  return all_ok || prompt ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> commands;
  std::string mode = "design";
  std::string package;
  bool action = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(std::cout);
      std::cout << "\n" << pkghost::Host::HelpText();
      return 0;
    } else if (arg == "--design" || arg == "--runtime") {
      mode = arg.substr(2);
    } else if (arg == "--palette" || arg == "--editors" || arg == "--resources" ||
               arg == "--inspect" || arg == "--form") {
      commands.push_back(arg.substr(2));
      action = true;
    } else if (arg == "--form-roundtrip") {
      commands.push_back("form");
      action = true;
    } else if (arg == "--set") {
      if (i + 1 == argc) {
        std::cerr << "quellin-pkghost: --set needs PROP=VALUE\n";
        return 2;
      }
      commands.push_back("set " + std::string(argv[++i]));
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "quellin-pkghost: unknown option " << arg << "\n";
      Usage(std::cerr);
      return 2;
    } else if (package.empty()) {
      package = arg;
    } else {
      std::cerr << "quellin-pkghost: one package at a time (" << package << ", then " << arg
                << ")\n";
      return 2;
    }
  }
  if (package.empty() && !commands.empty()) {
    std::cerr << "quellin-pkghost: actions need a PACKAGE\n";
    Usage(std::cerr);
    return 2;
  }

  pkghost::Host host(std::cout, std::cerr);
  host.Execute("mode " + mode);
  if (package.empty()) return Interactive(host);

  if (!host.Execute("load " + package)) return 1;
  if (!action) {
    if (mode == "design") commands.insert(commands.begin(), {"palette", "editors"});
    commands.push_back("resources");
  }
  bool all_ok = true;
  for (const std::string& command : commands) {
    std::cout << std::flush;
    all_ok = host.Execute(command) && all_ok;
  }
  all_ok = host.Execute("unload") && all_ok;
  return all_ok ? 0 : 1;
}
