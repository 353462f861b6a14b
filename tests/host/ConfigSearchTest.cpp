#include "host/ConfigSearch.h"

#include <gtest/gtest.h>

namespace {

using tarvell::host::ConfigSearchPath;

TEST(ConfigSearch, SearchPathFollowsSaneConfigDirThenTheSystemFolders) {
  EXPECT_EQ(ConfigSearchPath(nullptr, {"/etc/sane.d"}), std::vector<std::string>{"/etc/sane.d"});
  EXPECT_EQ(ConfigSearchPath("/a:/b:", {"/usr/local/etc/sane.d", "/etc/sane.d"}),
            (std::vector<std::string>{"/a", "/b", "/usr/local/etc/sane.d", "/etc/sane.d"}));
  // Repeats and empty parts are dropped.
  EXPECT_EQ(ConfigSearchPath("/etc/sane.d::/a", {"/etc/sane.d", "/etc/sane.d"}),
            (std::vector<std::string>{"/etc/sane.d", "/a"}));
}

}  // namespace
