// The package unit of quellin40: no code of its own; the unit table and the package entry points.
#include <iterator>

#include "packages/package_unit.h"

QUELLIN_PACKAGE_UNIT(Quellin40)
