// The whole runtime in one include: strings and exceptions, classes and published properties,
// form files, threads, window messages and the application object, packages and the designer's
// registration interface.
#pragma once

#include "vcl/ansistring.h"
#include "vcl/classes.h"
#include "vcl/designintf.h"
#include "vcl/formfile.h"
#include "vcl/forms.h"
#include "vcl/messages.h"
#include "vcl/packages.h"
#include "vcl/property.h"
#include "vcl/sysutils.h"
#include "vcl/thread.h"
#include "vcl/typinfo.h"
