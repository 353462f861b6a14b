// Why the panel greys out a choice: the options, with their choices as marked, that the PPD's
// constraints exclude it with. The greying itself stays IsPPDChoiceConflicted's; this only explains.
#pragma once

#include <string>
#include <vector>

#include "pde/CupsPPD.h"
#include "platform/printing/Bundle.h"
#include "platform/toolbox/Toolbox.h"

struct ChoiceBlocker {
  std::string option, choice;  // keywords, as the PPD writes them
  bool installable;            // an option of the PPD's InstallableOptions group: the printer's hardware
};

// The other members of every constraint (UIConstraints, NonUIConstraints, cupsUIConstraints) that
// holds once `choice` of option `keyword` is marked, the other options as marked now; each option
// and choice once, in PPD order of the constraints. The PPD's marks are not touched.
std::vector<ChoiceBlocker> FindChoiceBlockers(ppd_file_t* ppd, const char* keyword, const char* choice);

// Gives menu item `item` (choice `choice` of option `keyword`) the panel's state: disabled when
// IsPPDChoiceConflicted says so, and then carrying why (see kFinishingReasonTag); else enabled
// without a reason.
void UpdateChoiceItem(ppd_file_t* ppd, PMBundleRef bundle, MenuRef menu, MenuItemIndex item, const char* keyword,
                      const char* choice);
