// Bundles: a folder "<name>.plugin/Contents/" with an information dictionary (Info.plist),
// localised string tables ("Resources/<language>.lproj/<table>.strings") and a resource map.
#pragma once

#include <string>
#include <vector>

#include "platform/printing/PMTypes.h"

struct PMBundle;
typedef PMBundle* PMBundleRef;

// Opens the bundle at `path` and reads its Info.plist; null (and a message in `error`, when
// given) when the folder or its information dictionary is missing or malformed.
PMBundleRef PMBundleCreate(const char* path, std::string* error = nullptr);
// Closes the bundle. Its executable is unloaded unless a factory instance of it is still alive.
void PMBundleRelease(PMBundleRef bundle);

// A bundle opened earlier, found by its CFBundleIdentifier (not retained).
PMBundleRef PMBundleGetBundleWithIdentifier(PMStringRef identifier);
PMStringRef PMBundleGetIdentifier(PMBundleRef bundle);
// The information dictionary (not retained).
PMDictionaryRef PMBundleGetInfoDictionary(PMBundleRef bundle);
std::string PMBundleGetPath(PMBundleRef bundle);

// The localised text for `key` from table `tableName` ("Localizable" when null), in the
// first preferred language that has it, else in the bundle's development language. Without
// a translation: `value` when given, else `key`. Returns a new reference (null without key).
PMStringRef PMBundleCopyLocalizedString(PMBundleRef bundle, PMStringRef key, PMStringRef value, const char* tableName);
// The languages asked for first (process wide), e.g. {"de", "en"}.
void PMBundleSetPreferredLanguages(const std::vector<std::string>& languages);

// Resource maps. Opening needs the bundle's Resources folder; -1 when it cannot be opened.
typedef SInt16 ResFileRefNum;
ResFileRefNum PMBundleOpenBundleResourceMap(PMBundleRef bundle);
void PMBundleCloseBundleResourceMap(PMBundleRef bundle, ResFileRefNum refNum);
// The current resource map (0: the system's) and making one current.
ResFileRefNum CurResFile();
void UseResFile(ResFileRefNum refNum);

namespace tarvell {
namespace printing {

// Resource maps open now, for tests.
int OpenResourceMapCount();
// Parses the text of a ".strings" table into `table`; false (and `table` untouched) on a syntax error.
bool ParseStringsTable(const std::string& text, std::vector<std::pair<std::string, std::string>>* table);

}  // namespace printing
}  // namespace tarvell
