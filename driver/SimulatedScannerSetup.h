// What the host's --simulate puts on the simulated bus: the simulated scanner, misbehaving as
// the testing aid --sim-fault asks.
#pragma once

#include <string>

#include "sim/SimulatedScanner.h"

// Reads a --sim-fault list: comma-separated timeouts=N, gone-after=BYTES, exception=METHOD,
// no-reply=METHOD, split-reply=METHOD, unknown-packets, short-image=BYTES, corrupt-header.
// False with a message in *error for anything else.
bool ParseSimulatedFaults(const std::string& spec, tarvell::sim::ScannerMisbehaviour* out,
                          std::string* error);

// Makes the host's --simulate install the simulated scanner at the host's simulated location.
// A bad --sim-fault ends the program with the usage status before anything is scanned.
void UseSimulatedScannerOnHost();
