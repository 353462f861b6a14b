// `scanner-module scan`: one scan through the module's callbacks in the host's order, the file
// read in pieces and written whole (cli/OutputFile.h).
#pragma once

#include "cli/CommandLineHost.h"
#include "cli/ScanRequest.h"
