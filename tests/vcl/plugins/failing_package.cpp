// A package whose second unit fails to initialise: the first (the designer-interface unit) must
// be finalised again.
#include "vcl/vcl.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
void InitBroken() { throw vcl::Exception("unit Broken cannot start"); }
const vcl::PackageUnitEntry units[] = {vcl::DsgnintfUnit, {&InitBroken, nullptr}};
const vcl::PackageInfoTable table = {2, units};
}  // namespace

EXPORT void Initialize() { vcl::PackageLoad(&table); }
EXPORT void Finalize() { vcl::PackageUnload(&table); }
