#include "xml/XMLVisitor.h"

#include "element/Elements.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

// Serialises `value` (may be null) into a visitor made by `make` and returns the document.
template <typename Make>
std::string dump(Make make, Element* value) {
  XMLVisitor visitor = make();
  if (value) value->accept(&visitor);
  char* buffer = nullptr;
  unsigned int length = 0;
  EXPECT_EQ(0, visitor.createMemoryDump(&buffer, &length));
  std::string text(buffer, length);
  EXPECT_EQ('\0', buffer[length]);
  std::free(buffer);
  return text;
}

std::string dumpResponse(Element* body) {
  return dump([] { return XMLVisitor(MessageKind::response, 3); }, body);
}

const std::string kProlog = "<?xml version=\"1.0\"?>\r\n";

TEST(XMLVisitor, CallMethodExampleComesOutByteForByte) {
  ListElem params;
  params.add(new IntegerElem(1));
  auto* map = new MapElem();
  map->addChild("x", new BooleanElem(true));
  params.add(map);

  const std::string text = dump([] { return XMLVisitor(5, 7, "system", "enterHostUSBSendMode", ""); }, &params);
  EXPECT_EQ(kProlog +
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
                "</method>\r\n",
            text);
}

TEST(XMLVisitor, EnvelopesOfEveryMessageKind) {
  auto method = [](int kind, const char* t1, const char* t2, const char* t3) {
    return dump([=] { return XMLVisitor(kind, -4, t1, t2, t3); }, nullptr);
  };
  EXPECT_EQ(kProlog +
                "<method name=\"getAttribute\" requestID=\"-4\">\r\n"
                "  <arg name=\"objName\">o</arg>\r\n"
                "  <arg name=\"attribName\">a</arg>\r\n"
                "</method>\r\n",
            method(3, "o", "a", "ignored"));
  EXPECT_EQ(kProlog +
                "<method name=\"setAttribute\" requestID=\"-4\">\r\n"
                "  <arg name=\"objName\">o</arg>\r\n"
                "  <arg name=\"attribName\">a</arg>\r\n"
                "  <arg name=\"value\">\r\n"
                "</arg>\r\n"
                "</method>\r\n",
            method(4, "o", "a", ""));
  EXPECT_EQ(kProlog +
                "<method name=\"callRule\" requestID=\"-4\">\r\n"
                "  <arg name=\"ruleName\">r</arg>\r\n"
                "  <arg name=\"params\">p\r\n"
                "</arg>\r\n"
                "</method>\r\n",
            method(6, "r", "p", ""));
  for (int kind : {7, 8}) {
    EXPECT_EQ(kProlog + "<method name=\"" + (kind == 7 ? "add" : "remove") +
                  "Observer\" requestID=\"-4\">\r\n"
                  "  <arg name=\"objName\">o</arg>\r\n"
                  "  <arg name=\"event\">e</arg>\r\n"
                  "  <arg name=\"observer\">w</arg>\r\n"
                  "</method>\r\n",
              method(kind, "o", "e", "w"));
  }
  EXPECT_EQ(kProlog +
                "<method name=\"instantiate\" requestID=\"-4\">\r\n"
                "  <arg name=\"className\">c</arg>\r\n"
                "  <arg name=\"objName\">o</arg>\r\n"
                "  <arg name=\"params\">\r\n"
                "</arg>\r\n"
                "</method>\r\n",
            method(9, "c", "o", ""));
  EXPECT_EQ(kProlog +
                "<method name=\"callVoidMethod\" requestID=\"-4\">\r\n"
                "  <arg name=\"objName\">o</arg>\r\n"
                "  <arg name=\"method\">m</arg>\r\n"
                "  <arg name=\"params\">\r\n"
                "</arg>\r\n"
                "</method>\r\n",
            method(11, "o", "m", ""));

  IntegerElem data(5);
  EXPECT_EQ(kProlog +
                "<method name=\"event\">\r\n"
                "  <arg name=\"observer\">w</arg>\r\n"
                "  <arg name=\"objName\">o</arg>\r\n"
                "  <arg name=\"event\">e</arg>\r\n"
                "  <arg name=\"data\">\r\n"
                "    <IntegerElem>5</IntegerElem>\r\n"
                "  </arg>\r\n"
                "</method>\r\n",
            dump([] { return XMLVisitor(10, 99, "w", "o", "e"); }, &data));

  EXPECT_EQ(kProlog +
                "<response requestID=\"3\">\r\n"
                "  <IntegerElem>5</IntegerElem>\r\n"
                "</response>\r\n",
            dumpResponse(&data));
  ObjectStoreException failure("no such object");
  XMLVisitor visitor(MessageKind::exception, 12);
  failure.accept(&visitor);
  char* buffer = nullptr;
  unsigned int length = 0;
  ASSERT_EQ(0, visitor.createMemoryDump(&buffer, &length));
  EXPECT_EQ(kProlog +
                "<exception requestID=\"12\">\r\n"
                "  <message>no such object</message>\r\n"
                "</exception>\r\n",
            std::string(buffer, length));
  std::free(buffer);
}

TEST(XMLVisitor, PlainRootTagDocument) {
  IntegerElem value(2);
  EXPECT_EQ(kProlog +
                "<config>\r\n"
                "\r\n<IntegerElem>2</IntegerElem>\r\n"
                "</config>\r\n",
            dump([] { return XMLVisitor(std::string("config")); }, &value));
}

TEST(XMLVisitor, MapsSkipPrivateMembersAndKeepEmptyWrappersForSilentKinds) {
  IntegerElem target(1);
  MapElem map;
  map.addChild("_hidden", new IntegerElem(1));
  map.addChild("a_b", new NullElem());
  map.addChild("link", new AliasElem(&target));
  EXPECT_EQ(kProlog +
                "<response requestID=\"3\">\r\n"
                "  <MapElem>\r\n"
                "    <child name=\"a_b\">\r\n"
                "      <NullElem/>\r\n"
                "    </child>\r\n"
                "    <child name=\"link\">\r\n"
                "    </child>\r\n"
                "  </MapElem>\r\n"
                "</response>\r\n",
            dumpResponse(&map));
}

TEST(XMLVisitor, LeafEncodings) {
  ListElem list;
  list.add(new ListElem());
  list.add(new StringElem("plain"));
  list.add(new StringElem("text", "utf-8"));
  list.add(new DoubleElem(0));
  list.add(new DoubleElem(-2.5));
  list.add(new BinaryElem(nullptr, 0));
  const unsigned char bytes[] = {'a', 'b', 'c', 'd'};
  list.add(new BinaryElem(bytes, 4));
  list.add(new BooleanElem(false));
  EXPECT_EQ(kProlog +
                "<response requestID=\"3\">\r\n"
                "  <ListElem>\r\n"
                "    <ListElem>\r\n"
                "    </ListElem>\r\n"
                "    <StringElem>plain</StringElem>\r\n"
                "    <StringElem  encoding=\"utf-8\">text</StringElem>\r\n"
                "    <DoubleElem>0.000000</DoubleElem>\r\n"
                "    <DoubleElem>-2.500000</DoubleElem>\r\n"
                "    <BinaryElem></BinaryElem>\r\n"
                "    <BinaryElem>YWJjZA==</BinaryElem>\r\n"
                "    <BooleanElem>false</BooleanElem>\r\n"
                "  </ListElem>\r\n"
                "</response>\r\n",
            dumpResponse(&list));
}

TEST(XMLVisitor, CompositesNameTheirClassAndIndentLikeTheirSiblings) {
  MapElem root;
  auto* sys = new MapElem();
  root.changeName("root");
  root.addChild("sys", sys);
  auto* point = new MapElem();
  sys->addChild("Point", point);

  ListElem list;
  auto* object = new CompositeElem(point);
  object->addChild("x", new IntegerElem(3));
  list.add(object);
  list.add(new CompositeElem(nullptr));
  list.add(new IntegerElem(4));
  EXPECT_EQ(kProlog +
                "<response requestID=\"3\">\r\n"
                "  <ListElem>\r\n"
                "    <CompositeElem  enclosure=\"root.sys.Point\">\r\n"
                "      <child name=\"x\">\r\n"
                "        <IntegerElem>3</IntegerElem>\r\n"
                "      </child>\r\n"
                "    </CompositeElem>\r\n"
                "    <CompositeElem  enclosure=\"\">\r\n"
                "    </CompositeElem>\r\n"
                "    <IntegerElem>4</IntegerElem>\r\n"
                "  </ListElem>\r\n"
                "</response>\r\n",
            dumpResponse(&list));
}

TEST(XMLVisitor, TextAndAttributesCannotInjectMarkup) {
  MapElem map;
  map.addChild("a\"b<c&d", new StringElem("x</StringElem><IntegerElem>1</IntegerElem> & ]]> ]>", "e\"<&"));
  const std::string text = dump([] { return XMLVisitor(5, 1, "sys<tem>", "a&b", ""); }, &map);
  EXPECT_NE(std::string::npos, text.find("<arg name=\"objName\">sys&lt;tem></arg>"));
  EXPECT_NE(std::string::npos, text.find("<arg name=\"method\">a&amp;b</arg>"));
  EXPECT_NE(std::string::npos, text.find("<child name=\"a&quot;b&lt;c&amp;d\">"));
  EXPECT_NE(std::string::npos, text.find("<StringElem  encoding=\"e&quot;&lt;&amp;\">"
                                         "x&lt;/StringElem>&lt;IntegerElem>1&lt;/IntegerElem> &amp; ]]&gt; ]>"
                                         "</StringElem>"));
}

TEST(XMLVisitor, BytesXmlCannotCarryAreReplacedAndValidUtf8IsKept) {
  EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
            XMLVisitor::escapeText("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_EQ("caf&#xE9;", XMLVisitor::escapeText("caf\xE9"));
  EXPECT_EQ("&#xC3;x", XMLVisitor::escapeText("\xC3x"));                    // cut sequence
  EXPECT_EQ("&#xC0;&#xAF;", XMLVisitor::escapeText("\xC0\xAF"));            // overlong
  EXPECT_EQ("&#xED;&#xA0;&#x80;", XMLVisitor::escapeText("\xED\xA0\x80"));  // surrogate
  EXPECT_EQ("&#xF4;&#x90;&#x80;&#x80;", XMLVisitor::escapeText("\xF4\x90\x80\x80"));
  EXPECT_EQ("&#xFFFD;&#xFFFD;", XMLVisitor::escapeText("\xEF\xBF\xBE\xEF\xBF\xBF"));
  EXPECT_EQ(std::string("a&#xFFFD;b&#xFFFD;\t\n\r"), XMLVisitor::escapeText(std::string("a\0b\x1F\t\n\r", 7)));
  EXPECT_EQ("'>", XMLVisitor::escapeAttribute("'>"));
}

TEST(XMLVisitor, LongNamesAndValuesAreNeverCut) {
  const std::string longName(5000, 'n');
  const std::string longText(100000, 't');
  MapElem map;
  map.addChild(longName, new StringElem(longText, std::string(1000, 'e')));
  auto* point = new MapElem();
  map.addChild("k", new CompositeElem(point));
  map.addChild(std::string(600, 'c'), point);
  const std::string text = dump([&] { return XMLVisitor(5, 1, longName, longName, ""); }, &map);
  EXPECT_NE(std::string::npos, text.find("<child name=\"" + longName + "\">"));
  EXPECT_NE(std::string::npos, text.find(">" + longText + "</StringElem>"));
  EXPECT_NE(std::string::npos, text.find("encoding=\"" + std::string(1000, 'e') + "\""));
  EXPECT_NE(std::string::npos, text.find("enclosure=\"." + std::string(600, 'c') + "\""));
  EXPECT_NE(std::string::npos, text.find("<arg name=\"method\">" + longName + "</arg>"));
}

}  // namespace
