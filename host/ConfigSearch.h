// Where the hosts look for their configuration files: the folders SANE_CONFIG_DIR names, then the
// system's, as every scanner-access backend looks.
#pragma once

#include <string>
#include <vector>

namespace tarvell::host {

// The folders searched, in order: those of `saneConfigDir` (colon-separated, as SANE_CONFIG_DIR;
// null or empty for none), then `systemDirs` (skipping repeats).
std::vector<std::string> ConfigSearchPath(const char* saneConfigDir, const std::vector<std::string>& systemDirs);

}  // namespace tarvell::host
