// The manual pages are static text: each lists exactly the items of the one list the programs read.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cli/CommandLineHost.h"
#include "escl/ServerConfig.h"
#include "pde/dialog/DialogHost.h"
#include "sim/SimulatedScanner.h"
#include "tests/support/Program.h"

namespace {

// The tags of the list (.RS, .TP entries, .RE) after the line `heading` starts in `page`, each up
// to a '=' or a space, without troff's escapes.
std::vector<std::string> ListedUnder(const std::string& page, const std::string& heading) {
  const std::string text = tarvell::testing::ReadFile(std::string(TARVELL_SOURCE_DIR) + "/man/" + page);
  const size_t from = text.find("\n.RS\n", text.find("\n" + heading)), to = text.find("\n.RE\n", from);
  const std::string list = std::regex_replace(text.substr(from, to - from), std::regex(R"(\\)"), "");
  std::vector<std::string> tags;
  const std::regex tag(R"(\n\.TP\n\.BI? ([^= \n]+))");
  for (std::sregex_iterator it(list.begin(), list.end(), tag), end; it != end; ++it) tags.push_back((*it)[1]);
  return tags;
}

TEST(Manuals, ListTheSimulatedScannersItemsAndThePanelsLanguagesAsTheProgramsDo) {
  std::vector<std::string> items, languages;
  for (const auto& item : tarvell::sim::SimulatedScannerItems()) items.push_back(item.name);
  for (const auto& language : tarvell::dialog::PanelLanguages()) languages.push_back(language.code);
  EXPECT_EQ(ListedUnder("scanner-module.1", ".BI \\-\\-sim\\-fault"), items);
  EXPECT_EQ(ListedUnder("tarvell-escl.8", ".BI \\-\\-sim\\-fault"), items);
  EXPECT_EQ(ListedUnder("sane-tarvell.5", ".BI simulate"), items);
  EXPECT_EQ(ListedUnder("print-dialog.1", ".BI \\-\\-lang"), languages);
  EXPECT_EQ(ListedUnder("print-dialog-gtk.1", ".BI \\-\\-lang"), languages);
  // The help texts, with their line breaks and indents as single spaces, hold the whole list.
  for (const std::string& help : {tarvell::ica::HelpText("scanner-module"), tarvell::escl::HelpText("tarvell-escl")})
    EXPECT_NE(std::regex_replace(help, std::regex(R"(\s+)"), " ").find(tarvell::sim::SimulatedScannerItemList()),
              std::string::npos)
        << help;
}

}  // namespace
