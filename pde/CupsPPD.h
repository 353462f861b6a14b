// The libcups PPD interface. It is deprecated in CUPS 2.4 but it is what the printing system
// hands the panel; the warning is silenced here, where those calls are declared, and nowhere else.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>
#pragma GCC diagnostic pop
