// What a package library carries as resources, read back by name and told in plain words.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/resource.h"

namespace pkghost {

// Description, package information and options, the palette bitmap of each class named (stored
// under the class name in capitals), the
// icon group MAINICON and the version record; a resource that is absent says so, one that does
// not parse gives the reason. Each on its own lines.
void PrintResources(std::ostream& out, win32::HMODULE module,
                    const std::vector<std::string>& classNames);

}  // namespace pkghost
