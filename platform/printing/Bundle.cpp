#include "platform/printing/Bundle.h"

#include <dlfcn.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/printing/BundleInternal.h"
#include "platform/printing/PlugIn.h"

namespace {

std::mutex gMutex;
std::vector<PMBundle*> gBundles;
std::vector<std::string> gLanguages{"en"};
std::map<ResFileRefNum, PMBundle*> gResMaps;
ResFileRefNum gCurRes = 0;
ResFileRefNum gNextRes = 2;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

std::string NodeText(xmlNode* node) {
  xmlChar* c = xmlNodeGetContent(node);
  std::string s = c ? reinterpret_cast<const char*>(c) : "";
  xmlFree(c);
  return s;
}

bool Named(xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

xmlNode* NextElement(xmlNode* node) {
  while (node && node->type != XML_ELEMENT_NODE) node = node->next;
  return node;
}

// Converts one plist value element; null on anything it does not know.
PMTypeRef ConvertValue(xmlNode* node, int depth) {
  if (depth > 32) return nullptr;
  if (Named(node, "string")) {
    return PMStringCreateWithCString(nullptr, NodeText(node).c_str(), kPMStringEncodingUTF8);
  }
  if (Named(node, "integer")) {
    std::string t = NodeText(node);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (t.empty() || *end != '\0' || errno) return nullptr;
    int64_t v64 = v;
    return PMNumberCreate(nullptr, kPMNumberSInt64Type, &v64);
  }
  if (Named(node, "true")) return kPMBooleanTrue;
  if (Named(node, "false")) return kPMBooleanFalse;
  if (Named(node, "array")) {
    PMMutableArrayRef array = PMArrayCreateMutable(nullptr, 0, &kPMTypeArrayCallBacks);
    if (!array) return nullptr;
    for (xmlNode* c = NextElement(node->children); c; c = NextElement(c->next)) {
      PMTypeRef v = ConvertValue(c, depth + 1);
      bool ok = v && PMArrayAppendValue(array, v);
      PMRelease(v);
      if (!ok) {
        PMRelease(array);
        return nullptr;
      }
    }
    return array;
  }
  if (Named(node, "dict")) {
    PMMutableDictionaryRef dict = PMDictionaryCreateMutable(nullptr);
    if (!dict) return nullptr;
    for (xmlNode* k = NextElement(node->children); k; k = NextElement(k->next)) {
      xmlNode* v = Named(k, "key") ? NextElement(k->next) : nullptr;
      PMStringRef key = v ? PMStringCreateWithCString(nullptr, NodeText(k).c_str(), kPMStringEncodingUTF8) : nullptr;
      PMTypeRef value = key ? ConvertValue(v, depth + 1) : nullptr;
      if (!value) {
        PMRelease(key);
        PMRelease(dict);
        return nullptr;
      }
      PMDictionarySetValue(dict, key, value);
      PMRelease(key);
      PMRelease(value);
      k = v;
    }
    return dict;
  }
  return nullptr;
}

PMDictionaryRef ReadInfoPlist(const std::string& path, std::string* error) {
  if (access(path.c_str(), F_OK) != 0) {
    *error = path + " is missing: give --bundle the folder of a plug-in bundle (it holds Contents/Info.plist)";
    return nullptr;
  }
  xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) {
    *error = "cannot parse " + path;
    return nullptr;
  }
  xmlNode* root = xmlDocGetRootElement(doc);
  PMTypeRef value = nullptr;
  if (root && Named(root, "plist")) {
    xmlNode* top = NextElement(root->children);
    if (top && Named(top, "dict")) value = ConvertValue(top, 0);
  }
  xmlFreeDoc(doc);
  if (!value) *error = path + ": no valid dictionary";
  return static_cast<PMDictionaryRef>(value);
}

std::string Unescape(const std::string& s, size_t* pos, bool* ok) {
  // s[*pos] is the opening quote.
  std::string out;
  size_t i = *pos + 1;
  while (i < s.size() && s[i] != '"') {
    char c = s[i++];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i >= s.size()) break;
    char e = s[i++];
    switch (e) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      default: out += e; break;
    }
  }
  *ok = i < s.size();
  *pos = i + 1;
  return out;
}

void SkipSpaceAndComments(const std::string& s, size_t* pos) {
  size_t i = *pos;
  for (;;) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    if (s.compare(i, 2, "/*") == 0) {
      size_t e = s.find("*/", i + 2);
      i = e == std::string::npos ? s.size() : e + 2;
    } else if (s.compare(i, 2, "//") == 0) {
      size_t e = s.find('\n', i);
      i = e == std::string::npos ? s.size() : e + 1;
    } else {
      break;
    }
  }
  *pos = i;
}

}  // namespace

bool tarvell::printing::ParseStringsTable(const std::string& text,
                                          std::vector<std::pair<std::string, std::string>>* table) {
  std::vector<std::pair<std::string, std::string>> result;
  size_t i = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;
  for (;;) {
    SkipSpaceAndComments(text, &i);
    if (i >= text.size()) break;
    bool ok = false;
    if (text[i] != '"') return false;
    std::string key = Unescape(text, &i, &ok);
    if (!ok) return false;
    SkipSpaceAndComments(text, &i);
    if (i >= text.size() || text[i] != '=') return false;
    ++i;
    SkipSpaceAndComments(text, &i);
    if (i >= text.size() || text[i] != '"') return false;
    std::string value = Unescape(text, &i, &ok);
    if (!ok) return false;
    SkipSpaceAndComments(text, &i);
    if (i >= text.size() || text[i] != ';') return false;
    ++i;
    result.emplace_back(std::move(key), std::move(value));
  }
  *table = std::move(result);
  return true;
}

PMBundleRef PMBundleCreate(const char* path, std::string* error) {
  std::string dummy;
  if (!error) error = &dummy;
  if (!path || !IsDirectory(path)) {
    *error = std::string("no bundle folder at ") + (path ? path : "(null)");
    return nullptr;
  }
  std::string contents = std::string(path) + "/Contents";
  PMDictionaryRef info = ReadInfoPlist(contents + "/Info.plist", error);
  if (!info) return nullptr;
  PMTypeRef ident = PMDictionaryGetValueForCString(info, "CFBundleIdentifier");
  if (PMGetTypeID(ident) != PMStringGetTypeID()) {
    *error = "Info.plist has no CFBundleIdentifier";
    PMRelease(info);
    return nullptr;
  }
  auto* bundle = new PMBundle;
  bundle->path = path;
  bundle->info = info;
  bundle->identifier = static_cast<PMStringRef>(ident);
  std::lock_guard<std::mutex> lock(gMutex);
  gBundles.push_back(bundle);
  return bundle;
}

void PMBundleRelease(PMBundleRef bundle) {
  if (!bundle) return;
  std::unique_lock<std::mutex> lock(gMutex);
  for (auto it = gBundles.begin(); it != gBundles.end(); ++it) {
    if (*it == bundle) {
      gBundles.erase(it);
      break;
    }
  }
  for (auto it = gResMaps.begin(); it != gResMaps.end();) {
    if (it->second == bundle)
      it = gResMaps.erase(it);
    else
      ++it;
  }
  lock.unlock();
  bool alive = false;
  PMTypeRef factories = PMDictionaryGetValueForCString(bundle->info, "CFPlugInFactories");
  if (PMGetTypeID(factories) == PMDictionaryGetTypeID()) {
    PMTypeRef keys[64];
    PMIndex n = PMDictionaryGetKeysAndValues(static_cast<PMDictionaryRef>(factories), keys, nullptr, 64);
    for (PMIndex i = 0; i < n; ++i) {
      PMUUIDRef id = PMUUIDCreateFromString(nullptr, PMStringGetCStringPtr(static_cast<PMStringRef>(keys[i])));
      if (id && PMPlugInInstanceCountForFactory(id) > 0) alive = true;
      PMRelease(id);
    }
  }
  // Code with live instances must stay mapped; it is then left loaded for the process's life.
  if (bundle->handle && !alive) dlclose(bundle->handle);
  PMRelease(bundle->info);
  delete bundle;
}

PMBundleRef PMBundleGetBundleWithIdentifier(PMStringRef identifier) {
  if (!identifier) return nullptr;
  std::lock_guard<std::mutex> lock(gMutex);
  for (PMBundle* b : gBundles)
    if (PMEqual(b->identifier, identifier)) return b;
  return nullptr;
}

PMStringRef PMBundleGetIdentifier(PMBundleRef bundle) { return bundle ? bundle->identifier : nullptr; }

PMDictionaryRef PMBundleGetInfoDictionary(PMBundleRef bundle) { return bundle ? bundle->info : nullptr; }

std::string PMBundleGetPath(PMBundleRef bundle) { return bundle ? bundle->path : ""; }

void PMBundleSetPreferredLanguages(const std::vector<std::string>& languages) {
  std::lock_guard<std::mutex> lock(gMutex);
  gLanguages = languages;
}

const std::map<std::string, std::string>* PMBundle::Table(const std::string& language, const std::string& name) {
  std::string id = language + "/" + name;
  auto it = tables.find(id);
  if (it != tables.end()) return it->second.get();
  std::unique_ptr<std::map<std::string, std::string>> table;
  std::string text;
  std::vector<std::pair<std::string, std::string>> entries;
  if (ReadFile(path + "/Contents/Resources/" + language + ".lproj/" + name + ".strings", &text) &&
      tarvell::printing::ParseStringsTable(text, &entries)) {
    table.reset(new std::map<std::string, std::string>(entries.begin(), entries.end()));
  }
  auto* result = table.get();
  tables[id] = std::move(table);
  return result;
}

PMStringRef PMBundleCopyLocalizedString(PMBundleRef bundle, PMStringRef key, PMStringRef value, const char* tableName) {
  if (!key) return nullptr;
  if (bundle) {
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<std::string> languages = gLanguages;
    std::string dev =
        tarvell::printing::ToStdString(PMDictionaryGetValueForCString(bundle->info, "CFBundleDevelopmentRegion"));
    languages.push_back(dev.empty() ? "en" : dev);
    for (const std::string& lang : languages) {
      const auto* table = bundle->Table(lang, tableName ? tableName : "Localizable");
      if (!table) continue;
      auto it = table->find(PMStringGetCStringPtr(key));
      if (it != table->end()) return PMStringCreateWithCString(nullptr, it->second.c_str(), kPMStringEncodingUTF8);
    }
  }
  return static_cast<PMStringRef>(PMRetain(value ? value : key));
}

ResFileRefNum PMBundleOpenBundleResourceMap(PMBundleRef bundle) {
  if (!bundle || !IsDirectory(bundle->path + "/Contents/Resources")) return -1;
  std::lock_guard<std::mutex> lock(gMutex);
  ResFileRefNum ref = gNextRes++;
  gResMaps[ref] = bundle;
  gCurRes = ref;  // opening a map makes it current
  return ref;
}

void PMBundleCloseBundleResourceMap(PMBundleRef, ResFileRefNum refNum) {
  std::lock_guard<std::mutex> lock(gMutex);
  gResMaps.erase(refNum);
  if (gCurRes == refNum) gCurRes = 0;
}

ResFileRefNum CurResFile() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gCurRes;
}

void UseResFile(ResFileRefNum refNum) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (refNum == 0 || gResMaps.count(refNum)) gCurRes = refNum;
}

int tarvell::printing::OpenResourceMapCount() {
  std::lock_guard<std::mutex> lock(gMutex);
  return int(gResMaps.size());
}

std::vector<PMBundle*> tarvell::printing::internal::Bundles() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gBundles;
}
