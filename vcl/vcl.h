// The whole runtime in one include.
#pragma once

#include "vcl/ansistring.h"
#include "vcl/classes.h"
#include "vcl/formfile.h"
#include "vcl/property.h"
#include "vcl/sysutils.h"
#include "vcl/typinfo.h"
