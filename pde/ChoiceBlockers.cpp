// This file calls the libcups PPD interface, deprecated in CUPS 2.4 but the one the printing
// system hands us.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "pde/ChoiceBlockers.h"

#include <string.h>
#include <strings.h>

#include <cctype>
#include <cstring>

#include "pde/FinishingControls.h"
#include "pde/FinishingPlugin.h"
#include "pde/PDEUtils.h"

namespace {

// One member of a constraint: an option with a choice, or with none ("any choice that is not
// None, Off or False"), as libcups reads UIConstraints and cupsUIConstraints.
struct Member {
  ppd_option_t* option;
  ppd_choice_t* choice;
};

bool IsOff(const char* choice) {
  return !strcasecmp(choice, "None") || !strcasecmp(choice, "Off") || !strcasecmp(choice, "False");
}

bool IsPageSize(const char* keyword) { return !strcasecmp(keyword, "PageSize") || !strcasecmp(keyword, "PageRegion"); }

// The member for "*Option Choice"; false when the PPD lacks either, and libcups drops the constraint.
bool MakeMember(ppd_file_t* ppd, std::string option, std::string choice, Member* member) {
  if (option.compare(0, 6, "Custom") == 0 && !strcasecmp(choice.c_str(), "True")) {
    option.erase(0, 6);
    choice = "Custom";
  }
  member->option = ppdFindOption(ppd, option.c_str());
  member->choice = member->option && !choice.empty() ? ppdFindChoice(member->option, choice.c_str()) : nullptr;
  return member->option && (choice.empty() || member->choice);
}

// Every constraint of the PPD whose members all exist; of the two-option ones only those naming
// `keyword` (a large PPD has thousands).
std::vector<std::vector<Member>> Constraints(ppd_file_t* ppd, const char* keyword) {
  std::vector<std::vector<Member>> all;
  for (int i = 0; i < ppd->num_consts; ++i) {
    const ppd_const_t& c = ppd->consts[i];
    if (!strcasestr(c.option1, keyword) && !strcasestr(c.option2, keyword)) continue;  // "Custom" prefixes too
    std::vector<Member> pair(2);
    if (MakeMember(ppd, c.option1, c.choice1, &pair[0]) && MakeMember(ppd, c.option2, c.choice2, &pair[1]))
      all.push_back(pair);
  }
  for (ppd_attr_t* a = ppdFindAttr(ppd, "cupsUIConstraints", nullptr); a;
       a = ppdFindNextAttr(ppd, "cupsUIConstraints", nullptr)) {
    std::vector<Member> members;
    bool complete = a->value != nullptr;
    for (const char* p = a->value ? std::strchr(a->value, '*') : nullptr; p && complete; p = std::strchr(p, '*')) {
      const char* end = ++p;
      while (*end && !std::isspace(static_cast<unsigned char>(*end))) ++end;
      std::string option(p, end), choice;
      for (p = end; std::isspace(static_cast<unsigned char>(*p));) ++p;
      if (*p && *p != '*') {
        for (end = p; *end && !std::isspace(static_cast<unsigned char>(*end));) ++end;
        choice.assign(p, end);
        p = end;
      }
      Member m;
      complete = MakeMember(ppd, option, choice, &m);
      members.push_back(m);
    }
    if (complete && !members.empty()) all.push_back(members);
  }
  return all;
}

// The choice `member` holds with `keyword`=`choice` taken as marked and the rest as marked now;
// null when it does not hold.
const char* Holds(ppd_file_t* ppd, const Member& member, const char* keyword, const char* choice) {
  if (!strcasecmp(member.option->keyword, keyword)) {
    if (member.choice) return strcasecmp(member.choice->choice, choice) ? nullptr : member.choice->choice;
    return IsOff(choice) ? nullptr : choice;
  }
  if (member.choice && IsPageSize(member.option->keyword)) {
    // The page size is marked under PageSize or PageRegion, whichever the job uses.
    for (const char* size : {"PageSize", "PageRegion"}) {
      ppd_choice_t* marked = ppdFindMarkedChoice(ppd, size);
      if (marked && !strcasecmp(marked->choice, member.choice->choice)) return member.choice->choice;
    }
    return nullptr;
  }
  if (member.choice) return member.choice->marked ? member.choice->choice : nullptr;
  ppd_choice_t* marked = ppdFindMarkedChoice(ppd, member.option->keyword);
  return marked && !IsOff(marked->choice) ? marked->choice : nullptr;
}

bool IsInstallable(ppd_file_t* ppd, const ppd_option_t* option) {
  for (int g = 0; g < ppd->num_groups; ++g) {
    if (strcasecmp(ppd->groups[g].name, "InstallableOptions")) continue;
    for (int o = 0; o < ppd->groups[g].num_options; ++o)
      if (&ppd->groups[g].options[o] == option) return true;
  }
  return false;
}

// A PPD's text as a string: UTF-8 as libcups hands it out, else (bytes a PPD left unconverted)
// read as ISO Latin 1, which takes any bytes, so that it never goes missing.
PMStringRef Str(const std::string& s) {
  PMStringRef text = PMStringCreateWithCString(nullptr, s.c_str(), kPMStringEncodingUTF8);
  return text ? text : PMStringCreateWithCString(nullptr, s.c_str(), kPMStringEncodingISOLatin1);
}

// The text of a new reference, which goes.
std::string Copied(PMStringRef text) {
  std::string s = tarvell::printing::ToStdString(text);
  PMRelease(text);
  return s;
}

std::string Localized(PMBundleRef bundle, const char* key) { return Copied(CopyDisplayText(bundle, key, nullptr)); }

std::string Trimmed(const std::string& s) {
  size_t first = s.find_first_not_of(" \t"), last = s.find_last_not_of(" \t");
  return first == std::string::npos ? s : s.substr(first, last - first + 1);
}

// `pattern` with its "%@" replaced by `value`.
std::string Fill(std::string pattern, const std::string& value) {
  size_t at = pattern.find("%@");
  return at == std::string::npos ? pattern + " " + value : pattern.replace(at, 2, value);
}

void Set(PMMutableDictionaryRef dict, const char* key, PMTypeRef value) {
  PMStringRef k = Str(key);
  PMDictionarySetValue(dict, k, value);
  PMRelease(k);
}

// The reason the item carries: the sentence in the bundle's language and the blockers one by one.
PMDictionaryRef CopyReason(ppd_file_t* ppd, PMBundleRef bundle, const std::vector<ChoiceBlocker>& blockers) {
  PMMutableDictionaryRef reason = PMDictionaryCreateMutable(nullptr);
  PMMutableArrayRef list = PMArrayCreateMutable(nullptr, 0, &kPMTypeArrayCallBacks);
  std::string sentence;
  for (const ChoiceBlocker& b : blockers) {
    ppd_option_t* option = ppdFindOption(ppd, b.option.c_str());
    ppd_choice_t* choice = option ? ppdFindChoice(option, b.choice.c_str()) : nullptr;
    // The option as the panel titles it; the choice in the PPD's words, which say what the
    // printer has ("Not Installed") where a translation of the keyword ("False") would not.
    PMStringRef optionText = Str(Trimmed(Copied(CopyOptionLabel(ppd, bundle, b.option.c_str()))));
    PMStringRef choiceText = Str(Trimmed(choice && choice->text[0] ? choice->text : b.choice));
    std::string named = tarvell::printing::ToStdString(optionText) + ": " + tarvell::printing::ToStdString(choiceText) +
                        " (" + b.option + "=" + b.choice + ")";
    if (b.installable) named = Fill(Localized(bundle, "InstallableBlocker"), named);
    sentence += (sentence.empty() ? "" : Localized(bundle, "BlockerSeparator")) + named;

    PMMutableDictionaryRef entry = PMDictionaryCreateMutable(nullptr);
    PMStringRef keyword = Str(b.option), value = Str(b.choice);
    Set(entry, "option", keyword);
    Set(entry, "choice", value);
    Set(entry, "optionText", optionText);
    Set(entry, "choiceText", choiceText);
    Set(entry, "installable", b.installable ? kPMBooleanTrue : kPMBooleanFalse);
    PMArrayAppendValue(list, entry);
    for (PMTypeRef made :
         {PMTypeRef(entry), PMTypeRef(keyword), PMTypeRef(value), PMTypeRef(optionText), PMTypeRef(choiceText)})
      PMRelease(made);
  }
  // Without a constraint to name (libcups reads one this file does not), the item still says why.
  PMStringRef text = Str(sentence.empty() ? Localized(bundle, "BlockedByConstraints")
                                          : Fill(Localized(bundle, "BlockedBy"), sentence));
  Set(reason, "text", text);
  Set(reason, "blockedBy", list);
  PMRelease(text);
  PMRelease(list);
  return reason;
}

}  // namespace

std::vector<ChoiceBlocker> FindChoiceBlockers(ppd_file_t* ppd, const char* keyword, const char* choice) {
  std::vector<ChoiceBlocker> blockers;
  if (!ppd || !keyword || !choice) return blockers;
  for (const std::vector<Member>& constraint : Constraints(ppd, keyword)) {
    bool involved = false, holds = true;
    std::vector<std::pair<const Member*, const char*>> others;
    for (const Member& m : constraint) {
      const char* value = Holds(ppd, m, keyword, choice);
      holds = holds && value;
      if (!strcasecmp(m.option->keyword, keyword))
        involved = true;
      else
        others.emplace_back(&m, value);
    }
    if (!involved || !holds) continue;
    for (const auto& other : others) {
      ChoiceBlocker b{other.first->option->keyword, other.second, IsInstallable(ppd, other.first->option)};
      bool known = false;
      for (const ChoiceBlocker& seen : blockers) known = known || (seen.option == b.option && seen.choice == b.choice);
      if (!known) blockers.push_back(b);
    }
  }
  return blockers;
}

void UpdateChoiceItem(ppd_file_t* ppd, PMBundleRef bundle, MenuRef menu, MenuItemIndex item, const char* keyword,
                      const char* choice) {
  PMDictionaryRef reason = nullptr;
  if (IsPPDChoiceConflicted(ppd, keyword, choice)) {
    DisableMenuItem(menu, item);
    reason = CopyReason(ppd, bundle, FindChoiceBlockers(ppd, keyword, choice));
  } else {
    EnableMenuItem(menu, item);
  }
  SetMenuItemProperty(menu, item, kFinishingCreator, kFinishingReasonTag, reason);
  PMRelease(reason);
}
