// Arbitrary bytes are parsed by libxml2 (blank text dropped, no network, no
// entity substitution) and the tree is handed to every decoder entry point.
#include <cstddef>
#include <cstdint>
#include <memory>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "element/Elements.h"
#include "xml/ObjectStore.h"
#include "xml/XMLEncoding.h"

namespace {

void quiet(void*, const char*, ...) {}

// A class in the store so that enclosure paths can resolve.
void addClass() {
  MapElem* classes = ObjectStore::getClasses();
  if (classes->hasChild("Point")) return;
  std::unique_ptr<CompositeElem> point(new CompositeElem(nullptr));
  std::unique_ptr<Element> label(new StringElem("point"));
  point->addChild(label.get(), "label");
  label.release();
  classes->addChild(point.get(), "Point");
  point.release();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xmlInitParser();
  xmlSetGenericErrorFunc(nullptr, quiet);
  addClass();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int options = XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  xmlDocPtr doc =
      xmlReadMemory(reinterpret_cast<const char*>(data), static_cast<int>(size), "fuzz.xml", nullptr, options);
  if (doc == nullptr) return 0;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  try {
    std::unique_ptr<Element> e = XMLEncoding::deSerializeElement(root);
    if (e) (void)e->getFullName();
  } catch (const Exception&) {
  }
  if (root != nullptr) {
    try {
      std::unique_ptr<ListElem> params = XMLEncoding::parseListElemArg(root->children, "params");
      std::unique_ptr<Element> value = XMLEncoding::parseElemArg(root->children, "value");
      const char* obj = XMLEncoding::parseStringArg(root->children, "objName");
      (void)obj;
    } catch (const Exception&) {
    }
  }
  xmlFreeDoc(doc);
  return 0;
}
