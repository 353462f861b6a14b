#include "xml/XMLEncoding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <libxml/parser.h>

#include "element/Elements.h"
#include "xml/ObjectStore.h"
#include "xml/XMLVisitor.h"

namespace {

// A document parsed by libxml2 the way the decoder expects it: blank text dropped.
class Doc {
 public:
  explicit Doc(const char* text, int options = XML_PARSE_NOBLANKS | XML_PARSE_NONET)
      : doc_(xmlReadMemory(text, static_cast<int>(std::strlen(text)), "test.xml", nullptr,
                           options | XML_PARSE_NOERROR | XML_PARSE_NOWARNING)) {}
  ~Doc() { xmlFreeDoc(doc_); }
  Doc(const Doc&) = delete;
  Doc& operator=(const Doc&) = delete;
  xmlNodePtr root() const { return doc_ ? xmlDocGetRootElement(doc_) : nullptr; }

 private:
  xmlDocPtr doc_;
};

std::unique_ptr<Element> decode(const char* text) {
  Doc doc(text);
  EXPECT_NE(nullptr, doc.root()) << text;
  return XMLEncoding::deSerializeElement(doc.root());
}

std::unique_ptr<ListElem> decodeList(const char* text) {
  Doc doc(text);
  EXPECT_NE(nullptr, doc.root()) << text;
  return XMLEncoding::parseListElem(doc.root());
}

TEST(XMLEncodingTopLevel, LeavesFollowTheStrictTable) {
  auto s = decode("<StringElem>hello world</StringElem>");
  ASSERT_TRUE(s && s->instanceOf("StringElem"));
  EXPECT_EQ("hello world", s->stringValue());
  EXPECT_EQ("", decode("<StringElem/>")->stringValue());
  EXPECT_EQ("a<b", decode("<StringElem>a&lt;b</StringElem>")->stringValue());

  EXPECT_EQ(255, decode("<IntegerElem>#ff</IntegerElem>")->intValue());
  EXPECT_EQ(-42, decode("<IntegerElem>-42</IntegerElem>")->intValue());
  EXPECT_THROW(decode("<IntegerElem>abc</IntegerElem>"), ValueConversionException);

  EXPECT_TRUE(decode("<BooleanElem>true</BooleanElem>")->booleanValue());
  auto yes = decode("<BooleanElem>yes</BooleanElem>");
  ASSERT_TRUE(yes && yes->instanceOf("BooleanElem"));
  EXPECT_FALSE(yes->booleanValue());

  auto d = decode("<DoubleElem>2.5</DoubleElem>");
  ASSERT_TRUE(d && d->instanceOf("DoubleElem"));
  EXPECT_EQ(2.5, static_cast<DoubleElem*>(d.get())->doubleValue());
  EXPECT_TRUE(decode("<NullElem/>")->instanceOf("NullElem"));
}

TEST(XMLEncodingTopLevel, UnknownOrEmptyTagsGiveNoValue) {
  EXPECT_EQ(nullptr, decode("<BinaryElem>YWJj</BinaryElem>"));
  EXPECT_EQ(nullptr, decode("<stringelem>x</stringelem>"));
  EXPECT_EQ(nullptr, decode("<child name=\"a\"><IntegerElem>1</IntegerElem></child>"));
  EXPECT_EQ(nullptr, decode("<IntegerElem/>"));
  EXPECT_EQ(nullptr, decode("<DoubleElem></DoubleElem>"));
  EXPECT_EQ(nullptr, decode("<BooleanElem><x/></BooleanElem>"));
  EXPECT_EQ(nullptr, XMLEncoding::deSerializeElement(nullptr));
}

TEST(XMLEncodingNested, ListsReadLeavesLeniently) {
  auto list = decodeList(
      "<ListElem><IntegerElem>abc</IntegerElem><IntegerElem>#ff</IntegerElem>"
      "<IntegerElem> 12</IntegerElem><IntegerElem>99999999999</IntegerElem>"
      "<BooleanElem>yes</BooleanElem><BooleanElem>false</BooleanElem>"
      "<BinaryElem>YWJj</BinaryElem><Unknown/><IntegerElem/>"
      "<DoubleElem>x</DoubleElem><NullElem/><StringElem/></ListElem>");
  ASSERT_TRUE(list);
  ASSERT_EQ(8u, list->getNumChildren());
  EXPECT_EQ(0, list->getChildRaw(0u)->intValue());  // not a number
  EXPECT_EQ(0, list->getChildRaw(1u)->intValue());  // "#" is not read here
  EXPECT_EQ(12, list->getChildRaw(2u)->intValue());
  EXPECT_EQ(2147483647, list->getChildRaw(3u)->intValue());  // clamped
  EXPECT_TRUE(list->getChildRaw(4u)->instanceOf("BooleanElem"));
  EXPECT_FALSE(list->getChildRaw(4u)->booleanValue());
  EXPECT_EQ(0.0, static_cast<DoubleElem*>(list->getChildRaw(5u))->doubleValue());
  EXPECT_TRUE(list->getChildRaw(6u)->instanceOf("NullElem"));
  EXPECT_EQ("", list->getChildRaw(7u)->stringValue());
}

TEST(XMLEncodingNested, MapsAreKeyedByTheFirstAttributeWhateverItsName) {
  auto e = decode(
      "<MapElem>"
      "<child name=\"b\"><StringElem>two</StringElem></child>"
      "<child key=\"a\" name=\"ignored\"><IntegerElem>1</IntegerElem></child>"
      "<child name=\"yes\"><BooleanElem>yes</BooleanElem></child>"
      "<child><IntegerElem>3</IntegerElem></child>"
      "<child name=\"empty\"/>"
      "<child name=\"text\">words</child>"
      "<child name=\"\"><IntegerElem>0</IntegerElem></child>"
      "<child name=\"nest\"><ListElem><MapElem><child name=\"x\"><NullElem/></child></MapElem>"
      "</ListElem></child>"
      "</MapElem>");
  ASSERT_TRUE(e && e->instanceOf("MapElem"));
  EXPECT_FALSE(e->instanceOf("CompositeElem"));
  EXPECT_EQ(4u, e->getNumChildren());
  EXPECT_EQ(1, e->getChildRaw("a")->intValue());
  EXPECT_EQ("two", e->getChildRaw("b")->stringValue());
  EXPECT_EQ(0, e->getChildRaw("")->intValue());
  EXPECT_FALSE(e->hasChild("yes"));
  EXPECT_FALSE(e->hasChild("ignored"));
  Element* x = e->getChildRaw("nest")->getChildRaw(0u)->getChildRaw("x");
  EXPECT_TRUE(x->instanceOf("NullElem"));
}

TEST(XMLEncodingNested, ARepeatedKeyKeepsTheLastValueAndFreesTheFirst) {
  auto e = decode(
      "<MapElem><child name=\"k\"><IntegerElem>1</IntegerElem></child>"
      "<child name=\"k\"><IntegerElem>2</IntegerElem></child></MapElem>");
  ASSERT_TRUE(e);
  EXPECT_EQ(1u, e->getNumChildren());
  EXPECT_EQ(2, e->getChildRaw("k")->intValue());
}

TEST(XMLEncodingNested, StrayNodesAreSkippedSafely) {
  // Whitespace kept, comments, processing instructions and entity references
  // among the entries.
  Doc doc(
      "<!DOCTYPE MapElem [<!ENTITY v \"<IntegerElem>5</IntegerElem>\">]>\n"
      "<MapElem>\n  <child name=\"a\">\n    <IntegerElem>1</IntegerElem>\n  </child>\n"
      "  <!-- note --><?pi x?>&v;\n"
      "  <child name=\"e\">&v;</child>\n"
      "  <child name=\"s\"><StringElem>&v;</StringElem></child>\n"
      "  <child name=\"c\"><StringElem><!--c-->x</StringElem></child>\n"
      "  <child name=\"d\"><StringElem><![CDATA[<raw>]]></StringElem></child>\n"
      "</MapElem>",
      XML_PARSE_NONET);
  ASSERT_NE(nullptr, doc.root());
  auto map = XMLEncoding::parseMapElem(doc.root());
  ASSERT_TRUE(map);
  // The value node of "a" is the whitespace before the tag: no value.
  EXPECT_FALSE(map->hasChild("a"));
  EXPECT_FALSE(map->hasChild("e"));
  EXPECT_EQ("", map->getChildRaw("s")->stringValue());
  EXPECT_EQ("", map->getChildRaw("c")->stringValue());
  EXPECT_EQ("<raw>", map->getChildRaw("d")->stringValue());
}

class XMLEncodingComposite : public ::testing::Test {
 protected:
  void SetUp() override {
    point = new CompositeElem(nullptr);
    ObjectStore::getClasses()->addChild(point, "Point");
    point->addChild(new StringElem("point"), "label");
    point->addChild(new BooleanElem(false), "_set_locked");
  }
  void TearDown() override { delete ObjectStore::getClasses()->removeChild("Point"); }
  CompositeElem* point = nullptr;
};

TEST_F(XMLEncodingComposite, EnclosureIsResolvedThroughTheStore) {
  auto e = decode(
      "<CompositeElem  enclosure=\"root.sys.class.Point\">"
      "<child name=\"x\"><IntegerElem>3</IntegerElem></child>"
      "<child name=\"locked\"><BooleanElem>true</BooleanElem></child>"
      "<child name=\"list\"><ListElem><CompositeElem enclosure=\"sys.class.Point\"/>"
      "</ListElem></child>"
      "</CompositeElem>");
  auto* c = dynamic_cast<CompositeElem*>(e.get());
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(point, c->getEnclosure());
  EXPECT_EQ(3, c->getChildRaw("x")->intValue());
  EXPECT_EQ("point", c->getChildRaw("label")->stringValue());
  // The class's setter refuses the entry; the refused value is freed.
  EXPECT_FALSE(c->hasChild("locked"));
  auto* inner = dynamic_cast<CompositeElem*>(c->getChildRaw("list")->getChildRaw(0u));
  ASSERT_NE(nullptr, inner);
  EXPECT_EQ(point, inner->getEnclosure());
}

TEST_F(XMLEncodingComposite, UnresolvedOrMissingEnclosures) {
  EXPECT_THROW(decode("<CompositeElem enclosure=\"root.sys.class.Nope\">"
                      "<child name=\"x\"><IntegerElem>3</IntegerElem></child></CompositeElem>"),
               NoSuchElementException);
  // Nested deeper, the partly built tree is freed on the way out.
  EXPECT_THROW(decode("<MapElem><child name=\"a\"><ListElem><IntegerElem>1</IntegerElem>"
                      "<CompositeElem enclosure=\"nope\"/></ListElem></child></MapElem>"),
               NoSuchElementException);
  auto none = decode(
      "<CompositeElem  enclosure=\"\"><child name=\"x\"><NullElem/></child>"
      "</CompositeElem>");
  auto* c = dynamic_cast<CompositeElem*>(none.get());
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(nullptr, c->getEnclosure());
  EXPECT_TRUE(c->hasChild("x"));
  EXPECT_EQ(nullptr, decode("<CompositeElem><child name=\"x\"><NullElem/></child></CompositeElem>"));
}

// What the serialiser writes, libxml2 reads and the decoder turns back into
// the same tree.
TEST_F(XMLEncodingComposite, SerialisedMessagesDecodeToTheSameTree) {
  ListElem params;
  auto* object = new CompositeElem(point);
  object->addChild(new StringElem("a&b<c \"q\""), "text");
  object->addChild(new IntegerElem(-7), "n");
  object->addChild(new StringElem("hidden"), "_private");
  auto* inner = new ListElem();
  inner->add(true)->add(2)->add(new DoubleElem(0.25))->add(new NullElem());
  object->addChild(inner, "items");
  params.add(object);
  params.add(new MapElem());

  XMLVisitor visitor(5, 3, "scanner", "configure", "");
  params.accept(&visitor);
  char* text = nullptr;
  unsigned int length = 0;
  ASSERT_EQ(0, visitor.createMemoryDump(&text, &length));
  std::unique_ptr<char, decltype(&free)> owned(text, &free);
  Doc doc(text);
  ASSERT_NE(nullptr, doc.root());
  EXPECT_STREQ("configure", XMLEncoding::parseStringArg(doc.root()->children, "method"));
  auto back = XMLEncoding::parseListElemArg(doc.root()->children, "params");
  ASSERT_TRUE(back);
  ASSERT_EQ(2u, back->getNumChildren());
  auto* decoded = dynamic_cast<CompositeElem*>(back->getChildRaw(0u));
  ASSERT_NE(nullptr, decoded);
  EXPECT_EQ(point, decoded->getEnclosure());
  EXPECT_EQ("a&b<c \"q\"", decoded->getChildRaw("text")->stringValue());
  EXPECT_EQ(-7, decoded->getChildRaw("n")->intValue());
  EXPECT_FALSE(decoded->hasChild("_private"));
  Element* items = decoded->getChildRaw("items");
  ASSERT_EQ(4u, items->getNumChildren());
  EXPECT_TRUE(items->getChildRaw(0u)->booleanValue());
  EXPECT_EQ(2, items->getChildRaw(1u)->intValue());
  EXPECT_EQ(0.25, static_cast<DoubleElem*>(items->getChildRaw(2u))->doubleValue());
  EXPECT_TRUE(items->getChildRaw(3u)->instanceOf("NullElem"));
  EXPECT_EQ(0u, back->getChildRaw(1u)->getNumChildren());

  // A response body decodes through the top-level entry.
  XMLVisitor response(1, 3);
  IntegerElem answer(42);
  answer.accept(&response);
  ASSERT_EQ(0, response.createMemoryDump(&text, &length));
  std::unique_ptr<char, decltype(&free)> ownedResponse(text, &free);
  Doc reply(text);
  ASSERT_NE(nullptr, reply.root());
  EXPECT_EQ(42, XMLEncoding::deSerializeElement(reply.root()->children)->intValue());
}

const char* const kMethod =
    "<?xml version=\"1.0\"?>\r\n"
    "<method name=\"callMethod\" requestID=\"7\">\r\n"
    "  <arg name=\"objName\">system</arg>\r\n"
    "  <arg name=\"method\">enterHostUSBSendMode</arg>\r\n"
    "  <arg name=\"params\">\r\n"
    "  <ListElem>\r\n"
    "    <IntegerElem>1</IntegerElem>\r\n"
    "    <MapElem>\r\n"
    "      <child name=\"x\">\r\n"
    "        <BooleanElem>true</BooleanElem>\r\n"
    "      </child>\r\n"
    "    </MapElem>\r\n"
    "  </ListElem>\r\n"
    "</arg>\r\n"
    "</method>\r\n";

TEST(XMLEncodingArgs, ArgumentsOfAMethodMessageAreFoundByName) {
  Doc doc(kMethod);
  ASSERT_NE(nullptr, doc.root());
  xmlNodePtr args = doc.root()->children;
  EXPECT_STREQ("system", XMLEncoding::parseStringArg(args, "objName"));
  EXPECT_STREQ("enterHostUSBSendMode", XMLEncoding::parseStringArg(args, "method"));
  EXPECT_EQ(nullptr, XMLEncoding::parseStringArg(args, "params"));  // no text inside
  EXPECT_EQ(nullptr, XMLEncoding::parseStringArg(args, "absent"));

  auto params = XMLEncoding::parseListElemArg(args, "params");
  ASSERT_TRUE(params);
  ASSERT_EQ(2u, params->getNumChildren());
  EXPECT_EQ(1, params->getChildRaw(0u)->intValue());
  EXPECT_TRUE(params->getChildRaw(1u)->getChildRaw("x")->booleanValue());

  auto asElem = XMLEncoding::parseElemArg(args, "params");
  ASSERT_TRUE(asElem && asElem->instanceOf("ListElem"));
  EXPECT_EQ(nullptr, XMLEncoding::parseElemArg(args, "absent"));
  EXPECT_EQ(nullptr, XMLEncoding::parseElemArg(args, "objName"));  // text, not a value

  auto none = XMLEncoding::parseListElemArg(args, "absent");
  ASSERT_TRUE(none);
  EXPECT_EQ(0u, none->getNumChildren());
  EXPECT_EQ(nullptr, XMLEncoding::parseStringArg(args, nullptr));
}

TEST(XMLEncodingArgs, TheWalkStopsAtANodeWithoutAUsableAttribute) {
  Doc doc(
      "<m><arg name=\"a\">1</arg><plain/><arg name=\"p\"><ListElem><NullElem/></ListElem>"
      "</arg></m>");
  xmlNodePtr args = doc.root()->children;
  EXPECT_STREQ("1", XMLEncoding::parseStringArg(args, "a"));
  EXPECT_EQ(nullptr, XMLEncoding::parseListElemArg(args, "p"));
  EXPECT_EQ(nullptr, XMLEncoding::parseListElemArg(args, "absent"));
  EXPECT_EQ(nullptr, XMLEncoding::parseElemArg(args, "p"));
  EXPECT_EQ(1u, XMLEncoding::parseListElemArg(args->next->next, "p")->getNumChildren());

  // An empty name is a value like any other: the walk goes on past it.
  Doc empty("<m><arg name=\"\">x</arg><arg name=\"b\">y</arg></m>");
  EXPECT_STREQ("y", XMLEncoding::parseStringArg(empty.root()->children, "b"));
  EXPECT_STREQ("x", XMLEncoding::parseStringArg(empty.root()->children, ""));
}

TEST(XMLEncodingArgs, ElemArgsDecodeNestedValuesButNoComposites) {
  Doc doc(
      "<m><arg name=\"c\"><CompositeElem enclosure=\"\"/></arg>"
      "<arg name=\"b\"><BooleanElem>maybe</BooleanElem></arg>"
      "<arg name=\"i\"><IntegerElem>x7</IntegerElem></arg>"
      "<arg name=\"e\"/></m>");
  xmlNodePtr args = doc.root()->children;
  EXPECT_EQ(nullptr, XMLEncoding::parseElemArg(args, "c"));
  EXPECT_EQ(nullptr, XMLEncoding::parseElemArg(args, "b"));
  EXPECT_EQ(0, XMLEncoding::parseElemArg(args, "i")->intValue());
  EXPECT_EQ(nullptr, XMLEncoding::parseElemArg(args, "e"));
  EXPECT_EQ(nullptr, XMLEncoding::parseListElemArg(args, "e"));
}

}  // namespace
