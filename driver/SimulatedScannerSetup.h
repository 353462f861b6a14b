// What the host's --simulate puts on the simulated bus: the simulated scanner, misbehaving as
// the testing aid --sim-fault asks.
#pragma once

#include <string>

#include "sim/SimulatedScanner.h"

// Reads a --sim-fault list, comma-separated, in the words of the scanner-access backend's
// "simulate" line: timeouts-before-data=N, gone-after-bytes=N, exception-for=METHOD[,METHOD...],
// no-reply-for=..., split-reply-for=..., short-image-by=N, corrupt-header, unknown-packets.
// False with a message in *error for anything else.
bool ParseSimulatedFaults(const std::string& faults, tarvell::sim::ScannerMisbehaviour* out,
                          std::string* error);

// Makes the host's --simulate install the simulated scanner at the host's simulated location.
// A bad --sim-fault ends the program with the usage status before anything is scanned.
void UseSimulatedScannerOnHost();
