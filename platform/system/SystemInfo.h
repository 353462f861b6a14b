// The system-version query and the local clock, both replaceable by tests; the running program's
// folder.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "platform/system/FaultInjection.h"
#include "platform/system/Types.h"

// Selector of the system-version query; the answer is binary-coded decimal (0x1039 is 10.3.9).
constexpr OSType kSystemVersionSelector = FourCC("sysv");
// The version this host reports unless told otherwise: one that selects the capability dialect.
constexpr SInt32 kDefaultSystemVersion = 0x1039;
// Systems up to this version (10.2.15) speak the flat dictionary dialect and give line art and
// grey the earlier colour interpretation; later ones the capability dialect.
constexpr SInt32 kLastFlatDialectVersion = 0x102F;
constexpr bool UsesCapabilityDialect(SInt32 version) { return version > kLastFlatDialectVersion; }

// Answers `selector` in *response. Only the system version is known; anything else fails.
OSErr QuerySystemInfo(OSType selector, SInt32* response);
// The version the query reports, kDefaultSystemVersion when it fails: what a host picks the
// dialect of its settings dictionaries by.
SInt32 HostSystemVersion();

// The local time now, or the fixed time a test has set.
std::tm CurrentLocalTime();

namespace tarvell {

// Sets the version the query reports (the host's --system-version, tests).
void SetSystemVersion(SInt32 version);
// Fixes the clock at `when`, or lets it run again with std::nullopt.
void SetFixedLocalTime(std::optional<std::tm> when);

// The folder the running program's file is in, so that an installed program finds the files
// installed with it; empty when the system does not say.
std::string ProgramDirectory();

// Test hooks.
enum class SystemCall { kVersionQuery };

}  // namespace tarvell

namespace tarvell::testing {
// The system-version query fails (unknown selector).
void FailNext(SystemCall call, int n, Fails how = Fails::kOnce);
}  // namespace tarvell::testing
