// The component unit's package entries: class registration tied to the unit's life, and the
// exported designer entry.
#include "component/Quellin.h"
#include "packages/package_unit.h"

namespace {

// Every build names its class TQuellin, and a form file names only the class: with two builds
// initialized at once, "TQuellin" would mean whichever came last. The second one is refused
// instead, before anything of it is used.
void RefuseAnotherQuellin() {
  const vcl::TClass ours = vcl::classid<TQuellin>();
  for (vcl::TClass c : vcl::GetRegisteredClasses()) {
    if (c != ours && vcl::SameText(c->ClassName(), ours->ClassName())) {
      throw vcl::EPackageError(
          "unit Quellin is already initialized from another package (class TQuellin is "
          "registered): unload that package first");
    }
  }
}

}  // namespace

// The class is registered here, not only when the library is mapped: a library that stays
// mapped after its last unload (the dynamic loader may keep it) is not constructed again on
// the next load, yet its class must come back.
QUELLIN_EXPORT void Quellin_Initialization() {
  RefuseAnotherQuellin();
  vcl::RegisterClass(vcl::classid<TQuellin>());
}

QUELLIN_EXPORT void Quellin_Finalization() {
  vcl::UnRegisterClass(vcl::classid<TQuellin>());
}

QUELLIN_EXPORT void Quellin_Register() {
  Quellin::Register();
}
