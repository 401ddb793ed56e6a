// Uses the component from an installed tree, linked in as an application would.
#include <cstdio>

#include "component/Quellin.h"

int main() {
  vcl::TComponent owner(nullptr);
  owner.SetDesigning(true);
  auto* port = new TQuellin(&owner);
  port->BaudRate = 115200;
  AnsiString version = port->Version;
  std::printf("consumer: %s %s\n", port->ClassName().c_str(), version.c_str());
  return port->BaudRate == 115200 ? 0 : 1;
}
