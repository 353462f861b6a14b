// The manual pages are static text: each must list exactly the items of the one list the programs
// read, as their help does.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "cli/CommandLineHost.h"
#include "escl/ServerConfig.h"
#include "pde/dialog/DialogHost.h"
#include "sim/SimulatedScanner.h"

namespace {

// The tags of the list (.RS, then .TP entries, then .RE) that follows the line starting with
// `heading` in the manual `page`, without troff's escapes and what follows a '='.
std::vector<std::string> ListedUnder(const std::string& page, const std::string& heading) {
  std::ifstream in(std::string(TARVELL_SOURCE_DIR) + "/man/" + page);
  std::vector<std::string> tags;
  bool found = false, inList = false, tag = false;
  for (std::string line; std::getline(in, line);) {
    if (!found) {
      found = line.rfind(heading, 0) == 0;
    } else if (line == ".RS") {
      inList = true;
    } else if (line == ".RE") {
      break;
    } else if (inList && line == ".TP") {
      tag = true;
    } else if (tag) {
      std::string word = line.substr(line.find(' ') + 1);
      word = word.substr(0, word.find_first_of("= "));
      std::string plain;
      for (char c : word)
        if (c != '\\') plain += c;
      tags.push_back(plain);
      tag = false;
    }
  }
  EXPECT_TRUE(found) << page << ": no " << heading;
  return tags;
}

TEST(Manuals, EveryListOfSimulatedScannerItemsIsTheParsersOwn) {
  std::vector<std::string> names;
  for (const tarvell::sim::SimulatedScannerItem& item : tarvell::sim::SimulatedScannerItems())
    names.push_back(item.name);
  EXPECT_EQ(ListedUnder("scanner-module.1", ".BI \\-\\-sim\\-fault"), names);
  EXPECT_EQ(ListedUnder("tarvell-escl.8", ".BI \\-\\-sim\\-fault"), names);
  EXPECT_EQ(ListedUnder("sane-tarvell.5", ".BI simulate"), names);
  // Both programs' help lists them whole.
  const std::string list = tarvell::sim::SimulatedScannerItemList();
  std::string help = tarvell::ica::HelpText("scanner-module"), escl = tarvell::escl::HelpText("tarvell-escl");
  for (std::string* text : {&help, &escl}) {
    std::string words;  // the text with its line breaks and indents as single spaces
    for (size_t i = 0; i < text->size(); ++i)
      if ((*text)[i] != ' ' && (*text)[i] != '\n')
        words += (*text)[i];
      else if (!words.empty() && words.back() != ' ')
        words += ' ';
    EXPECT_NE(words.find(list), std::string::npos) << *text;
  }
}

TEST(Manuals, TheLanguagesAreTheBundlesAndTheManualsList) {
  std::vector<std::string> codes, folders;
  for (const tarvell::dialog::PanelLanguage& language : tarvell::dialog::PanelLanguages())
    codes.push_back(language.code);
  EXPECT_EQ(ListedUnder("print-dialog.1", ".BI \\-\\-lang"), codes);
  EXPECT_EQ(ListedUnder("print-dialog-gtk.1", ".BI \\-\\-lang"), codes);
  if (DIR* dir = opendir(TARVELL_SOURCE_DIR "/pde/bundle/Resources")) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 6 && name.compare(name.size() - 6, 6, ".lproj") == 0)
        folders.push_back(name.substr(0, name.size() - 6));
    }
    closedir(dir);
  }
  std::sort(codes.begin(), codes.end());
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, codes);
}

}  // namespace
