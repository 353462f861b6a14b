// What the serialiser writes must read back: through our own reply parser to the same values,
// and through Expat and libxml2 as well-formed XML.
#include "xml/XMLSAXParser.h"
#include "xml/XMLVisitor.h"

#include "element/Elements.h"

#include <expat.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace {

std::string serialise(XMLVisitor& visitor, Element* value) {
  if (value) value->accept(&visitor);
  char* buffer = nullptr;
  unsigned int length = 0;
  EXPECT_EQ(0, visitor.createMemoryDump(&buffer, &length));
  std::string text(buffer, length);
  std::free(buffer);
  return text;
}

std::string asResponse(Element* value) {
  XMLVisitor visitor(MessageKind::response, 77);
  return serialise(visitor, value);
}

::testing::AssertionResult expatAccepts(const std::string& doc) {
  XML_Parser p = XML_ParserCreate(nullptr);
  const bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE) == XML_STATUS_OK;
  const std::string why = ok ? "" : XML_ErrorString(XML_GetErrorCode(p));
  XML_ParserFree(p);
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "Expat: " << why << "\n" << doc;
}

::testing::AssertionResult libxml2Accepts(const std::string& doc) {
  xmlDocPtr parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "message.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (parsed) {
    xmlFreeDoc(parsed);
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "libxml2 rejects:\n" << doc;
}

// Compares a tree with what came back from the parser: maps by name (private "_" members are
// never sent), lists by position, leaves by kind and value.
::testing::AssertionResult sameTree(Element* sent, Element* got, const std::string& path = "") {
  if (!got) return ::testing::AssertionFailure() << path << ": nothing came back";
  const char* kinds[] = {"ListElem",    "MapElem",    "IntegerElem", "StringElem",
                         "BooleanElem", "DoubleElem", "BinaryElem",  "NullElem"};
  for (const char* kind : kinds) {
    if (!sent->instanceOf(kind)) continue;
    if (!got->instanceOf(kind)) return ::testing::AssertionFailure() << path << ": expected " << kind;
    const std::string k(kind);
    if (k == "MapElem") {
      unsigned int expected = 0;
      std::unique_ptr<ElementIterator> it(sent->iterator(false));
      while (it->hasNext()) {
        const std::string name = it->nextName();
        Element* child = it->next();
        if (!name.empty() && name[0] == '_') continue;
        ++expected;
        if (!got->hasChild(name)) return ::testing::AssertionFailure() << path << ": lost child " << name;
        auto r = sameTree(child, got->getChildRaw(name), path + "." + name);
        if (!r) return r;
      }
      if (got->getNumChildren() != expected) return ::testing::AssertionFailure() << path << ": child count differs";
    } else if (k == "ListElem") {
      if (got->getNumChildren() != sent->getNumChildren())
        return ::testing::AssertionFailure() << path << ": list length differs";
      for (unsigned int i = 0; i < sent->getNumChildren(); ++i) {
        auto r = sameTree(sent->getChildRaw(i), got->getChildRaw(i), path + "[" + std::to_string(i) + "]");
        if (!r) return r;
      }
    } else if (k == "DoubleElem") {
      if (static_cast<DoubleElem*>(sent)->doubleValue() != static_cast<DoubleElem*>(got)->doubleValue())
        return ::testing::AssertionFailure() << path << ": double differs";
    } else if (k == "BinaryElem") {
      const std::string a(reinterpret_cast<char*>(sent->binaryValue()), sent->binaryLength());
      const std::string b(reinterpret_cast<char*>(got->binaryValue()), got->binaryLength());
      if (a != b) return ::testing::AssertionFailure() << path << ": bytes differ";
    } else if (k != "NullElem") {
      if (sent->stringValue() != got->stringValue())
        return ::testing::AssertionFailure()
               << path << ": '" << sent->stringValue() << "' came back as '" << got->stringValue() << "'";
    }
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << path << ": kind that does not survive parsing";
}

std::unique_ptr<Element> parse(const std::string& doc) {
  XMLSAXParser parser;
  EXPECT_EQ(0, parser.parseMessage(doc.data(), static_cast<int>(doc.size())));
  return parser.takeResult();
}

// Text the parsers hand back unchanged: markup characters, quotes, UTF-8 beyond ASCII.
const char* const kTrickyTexts[] = {
    "",
    "plain",
    "<",
    "&",
    "&amp;",
    "a < b && c > d",
    "\"quoted\" 'single'",
    "]]>",
    "x]]>y]]]>",
    "</StringElem>",
    "<!-- no -->",
    "<![CDATA[x]]>",
    "caf\xC3\xA9",
    "\xE2\x82\xAC\xF0\x9F\x98\x80",
    "tab\there",
    "line\nbreak",
    "  spaces  ",
    "&#65;",
};

// Attribute values come back unchanged unless they hold tab or line breaks, which XML
// normalises to spaces.
const char* const kTrickyNames[] = {
    "x", "a\"b", "a<b", "a&b", "it's", "]]>", "caf\xC3\xA9", "0", "with space", "",
};

TEST(RoundTrip, EveryParsableKindReadsBackWithTheSameValues) {
  MapElem tree;
  auto* strings = new ListElem();
  for (const char* text : kTrickyTexts) strings->add(new StringElem(text));
  tree.addChild("strings", strings);
  auto* names = new MapElem();
  int n = 0;
  for (const char* name : kTrickyNames) names->addChild(name, new IntegerElem(n++));
  tree.addChild("names", names);
  auto* numbers = new ListElem();
  for (int v : {0, 1, -1, 2147483647, -2147483647 - 1}) numbers->add(new IntegerElem(v));
  for (double d : {0.0, -2.5, 1234567.125, 1e15, -0.000001}) numbers->add(new DoubleElem(d));
  numbers->add(new BooleanElem(true))->add(new BooleanElem(false))->add(new NullElem());
  tree.addChild("numbers", numbers);
  auto* bytes = new ListElem();
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t len : {0u, 1u, 2u, 3u, 256u})
    bytes->add(new BinaryElem(reinterpret_cast<const unsigned char*>(all.data()), static_cast<unsigned int>(len)));
  tree.addChild("bytes", bytes);
  auto* nested = new ListElem();
  nested->add(new ListElem())->add(new MapElem());
  auto* inner = new MapElem();
  inner->addChild("deeper", new ListElem());
  nested->add(inner);
  tree.addChild("nested", nested);
  tree.addChild("_private", new IntegerElem(1));

  const std::string doc = asResponse(&tree);
  EXPECT_TRUE(expatAccepts(doc));
  EXPECT_TRUE(libxml2Accepts(doc));
  auto result = parse(doc);
  ASSERT_TRUE(result);
  EXPECT_EQ("response", result->getChildRaw("messageType")->stringValue());
  EXPECT_EQ("77", result->getChildRaw("requestID")->stringValue());
  EXPECT_TRUE(sameTree(&tree, result->getChildRaw("result")));
}

TEST(RoundTrip, CallMethodArgumentsReadBack) {
  ListElem params;
  params.addChild("HostSendJob", new StringElem("HostSendJob"));
  auto* map = new MapElem();
  map->addChild("resolution", new IntegerElem(300));
  params.add(map);
  XMLVisitor visitor(MessageKind::callMethod, 4711, "job<1>&\"2\"", "sta\xC3\xA9rt", "");
  const std::string doc = serialise(visitor, &params);
  EXPECT_TRUE(expatAccepts(doc));
  EXPECT_TRUE(libxml2Accepts(doc));
  auto result = parse(doc);
  ASSERT_TRUE(result);
  EXPECT_EQ("method", result->getChildRaw("messageType")->stringValue());
  EXPECT_EQ("callMethod", result->getChildRaw("systemRule")->stringValue());
  EXPECT_EQ("4711", result->getChildRaw("requestID")->stringValue());
  EXPECT_EQ("job<1>&\"2\"", result->getChildRaw("objName")->stringValue());
  EXPECT_EQ("sta\xC3\xA9rt", result->getChildRaw("method")->stringValue());
  EXPECT_TRUE(sameTree(&params, result->getChildRaw("params")));
}

TEST(RoundTrip, EveryMessageKindIsWellFormedWhateverItsTexts) {
  const std::string nasty = std::string("<&\"]]>\xE9\x01\0\xEF\xBF\xBF", 11);
  for (int kind = 1; kind <= 11; ++kind) {
    auto value = std::unique_ptr<ListElem>(new ListElem());
    value->add(new StringElem(nasty, nasty));
    auto* map = new CompositeElem(nullptr);
    map->addChild(nasty, new StringElem(nasty));
    value->add(map);
    std::string doc;
    if (kind <= 2) {
      XMLVisitor visitor(kind, -1);
      doc = serialise(visitor, value.get());
    } else {
      XMLVisitor visitor(kind, -1, nasty, nasty, nasty);
      doc = serialise(visitor, value.get());
    }
    EXPECT_TRUE(expatAccepts(doc)) << kind;
    EXPECT_TRUE(libxml2Accepts(doc)) << kind;
  }
  ObjectStoreException failure(nasty);
  XMLVisitor visitor(MessageKind::exception, 1);
  failure.accept(&visitor);
  const std::string doc = serialise(visitor, nullptr);
  EXPECT_TRUE(expatAccepts(doc));
  EXPECT_TRUE(libxml2Accepts(doc));
}

// Random trees: any byte may appear in any text or name; the document must always be
// well-formed, and trees whose texts avoid what XML normalises read back unchanged.
class RandomTrees {
 public:
  explicit RandomTrees(unsigned seed, bool anyByte) : _rng(seed), _anyByte(anyByte) {}

  Element* tree(int depth) {
    const int pick = static_cast<int>(_rng() % (depth > 0 ? 9 : 6));
    switch (pick) {
      case 0: return new IntegerElem(static_cast<int>(_rng()));
      case 1: return new StringElem(text());
      case 2: return new BooleanElem(_rng() % 2 == 0);
      case 3: return new DoubleElem(static_cast<double>(static_cast<int>(_rng() % 2000001) - 1000000) / 64.0);
      case 4: {
        const std::string b = text();
        return new BinaryElem(reinterpret_cast<const unsigned char*>(b.data()), static_cast<unsigned int>(b.size()));
      }
      case 5: return new NullElem();
      case 6:
      case 7: {
        auto* map = new MapElem();
        for (unsigned i = _rng() % 4; i > 0; --i) {
          const std::string name = text();
          if (!map->hasChild(name)) map->addChild(name, tree(depth - 1));
        }
        return map;
      }
      default: {
        auto* list = new ListElem();
        for (unsigned i = _rng() % 4; i > 0; --i) list->add(tree(depth - 1));
        return list;
      }
    }
  }

 private:
  std::string text() {
    static const char* const pieces[] = {"a",    "<",   ">", "&",        "\"",           "'",
                                         "]",    "]]>", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                         "&lt;", "x",   "_", "0"};
    std::string s;
    for (unsigned i = _rng() % 8; i > 0; --i) {
      if (_anyByte && _rng() % 3 == 0)
        s += static_cast<char>(_rng() % 256);
      else
        s += pieces[_rng() % (sizeof pieces / sizeof pieces[0])];
    }
    return s;
  }

  std::mt19937 _rng;
  bool _anyByte;
};

TEST(RoundTrip, RandomTreesOfXmlSafeTextReadBackUnchanged) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    RandomTrees gen(seed, false);
    std::unique_ptr<Element> tree(gen.tree(4));
    const std::string doc = asResponse(tree.get());
    ASSERT_TRUE(expatAccepts(doc)) << "seed " << seed;
    ASSERT_TRUE(libxml2Accepts(doc)) << "seed " << seed;
    auto result = parse(doc);
    ASSERT_TRUE(result) << "seed " << seed;
    ASSERT_TRUE(sameTree(tree.get(), result->getChildRaw("result"))) << "seed " << seed;
  }
}

TEST(RoundTrip, RandomTreesOfArbitraryBytesAreAlwaysWellFormed) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    RandomTrees gen(seed, true);
    std::unique_ptr<Element> tree(gen.tree(4));
    const std::string doc = asResponse(tree.get());
    ASSERT_TRUE(expatAccepts(doc)) << "seed " << seed;
    ASSERT_TRUE(libxml2Accepts(doc)) << "seed " << seed;
    auto result = parse(doc);
    ASSERT_TRUE(result) << "seed " << seed;
  }
}

}  // namespace
