#include "xml/XMLSAXParser.h"

#include "element/Elements.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// Parses `text`; returns the status and takes the result into *out.
int parse(const std::string& text, std::unique_ptr<Element>* out) {
  XMLSAXParser parser;
  const int rc = parser.parseMessage(text.data(), static_cast<int>(text.size()));
  *out = parser.takeResult();
  return rc;
}

std::unique_ptr<Element> parseOk(const std::string& text) {
  std::unique_ptr<Element> result;
  EXPECT_EQ(0, parse(text, &result)) << text;
  return result;
}

std::string str(Element* e, const char* name) { return e->getChildRaw(name)->stringValue(); }

std::string response(const std::string& body) {
  return "<?xml version=\"1.0\"?>\r\n<response requestID=\"7\">" + body + "</response>";
}

TEST(XMLSAXParser, ClassifiesTagsByTheirFirstTwoCharacters) {
  const std::pair<const char*, int> cases[] = {
      {"ListElem", 6},    {"MapElem", 7},    {"Mapping", 7},
      {"IntegerElem", 8}, {"StringElem", 9}, {"BooleanElem", 10},
      {"DoubleElem", 11}, {"NullElem", 13},  {"CompositeElem", 12},
      {"method", 1},      {"message", 1},    {"response", 2},
      {"exception", 3},   {"arg", 4},        {"child", 5},
      {"BinaryElem", 14}, {"B", 0},          {"", 0},
      {"mapElem", 0},     {"xy", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, XMLSAXParser::getElementType(c.first)) << c.first;
}

TEST(XMLSAXParser, ResponseWithAMapBecomesResultMessageTypeAndRequestID) {
  auto result =
      parseOk(response("\r\n  <MapElem>\r\n    <child name=\"x\">\r\n"
                       "      <IntegerElem>0</IntegerElem>\r\n    </child>\r\n"
                       "  </MapElem>\r\n"));
  ASSERT_TRUE(result);
  EXPECT_EQ(3u, result->getNumChildren());
  EXPECT_EQ("response", str(result.get(), "messageType"));
  EXPECT_EQ("7", str(result.get(), "requestID"));
  Element* map = result->getChildRaw("result");
  ASSERT_TRUE(map->instanceOf("MapElem"));
  EXPECT_EQ(1u, map->getNumChildren());
  Element* x = map->getChildRaw("x");
  EXPECT_TRUE(x->instanceOf("IntegerElem"));
  EXPECT_EQ(0, x->intValue());
}

TEST(XMLSAXParser, MethodArgumentsAreNamedChildren) {
  auto result = parseOk(
      "<method name=\"callMethod\" requestID=\"0042\">"
      "<arg name=\"objName\">system</arg>"
      "<arg name=\"both\">text<IntegerElem>5</IntegerElem>more</arg>"
      "<arg name=\"twice\"><IntegerElem>1</IntegerElem><StringElem>2</StringElem></arg>"
      "<arg name=\"dup\">first</arg><arg name=\"dup\">second</arg>"
      "<arg>unnamed</arg>"
      "</method>");
  ASSERT_TRUE(result);
  EXPECT_EQ("method", str(result.get(), "messageType"));
  EXPECT_EQ("callMethod", str(result.get(), "systemRule"));
  EXPECT_EQ("0042", str(result.get(), "requestID"));
  EXPECT_EQ("system", str(result.get(), "objName"));
  EXPECT_TRUE(result->getChildRaw("both")->instanceOf("IntegerElem"));
  Element* twice = result->getChildRaw("twice");
  EXPECT_TRUE(twice->instanceOf("StringElem"));
  EXPECT_EQ("2", twice->stringValue());
  EXPECT_EQ("second", str(result.get(), "dup"));
  EXPECT_EQ("unnamed", str(result.get(), ""));
}

TEST(XMLSAXParser, MissingAttributesReadAsEmpty) {
  auto result = parseOk("<method><arg name=\"messageType\">overwritten</arg></method>");
  ASSERT_TRUE(result);
  EXPECT_EQ("method", str(result.get(), "messageType"));
  EXPECT_EQ("", str(result.get(), "systemRule"));
  EXPECT_EQ("", str(result.get(), "requestID"));
}

TEST(XMLSAXParser, ExceptionReplyLosesItsMessageText) {
  auto result = parseOk("<exception requestID=\"9\">\r\n  <message>boom</message>\r\n</exception>");
  ASSERT_TRUE(result);
  EXPECT_EQ(2u, result->getNumChildren());
  EXPECT_EQ("exception", str(result.get(), "messageType"));
  EXPECT_EQ("9", str(result.get(), "requestID"));
}

TEST(XMLSAXParser, LeafValues) {
  auto result =
      parseOk(response("<ListElem>"
                       "<StringElem encoding=\"x\">a b </StringElem>"
                       "<BooleanElem>Yes</BooleanElem><BooleanElem>1</BooleanElem>"
                       "<DoubleElem>abc</DoubleElem><DoubleElem>-2.500000</DoubleElem>"
                       "<NullElem/><BinaryElem>YWJj\nZA==</BinaryElem><BinaryElem></BinaryElem>"
                       "<IntegerElem>#ff</IntegerElem>"
                       "<StringElem>&lt;&amp;&quot;&#xE9;</StringElem>"
                       "</ListElem>"));
  ASSERT_TRUE(result);
  Element* list = result->getChildRaw("result");
  ASSERT_EQ(10u, list->getNumChildren());
  EXPECT_EQ("a b ", list->getChildRaw(0u)->stringValue());
  EXPECT_EQ("", static_cast<StringElem*>(list->getChildRaw(0u))->encodingValue());
  EXPECT_TRUE(list->getChildRaw(1u)->booleanValue());
  EXPECT_FALSE(list->getChildRaw(2u)->booleanValue());
  EXPECT_EQ(0.0, static_cast<DoubleElem*>(list->getChildRaw(3u))->doubleValue());
  EXPECT_EQ(-2.5, static_cast<DoubleElem*>(list->getChildRaw(4u))->doubleValue());
  EXPECT_TRUE(list->getChildRaw(5u)->instanceOf("NullElem"));
  Element* bin = list->getChildRaw(6u);
  ASSERT_EQ(4u, bin->binaryLength());
  EXPECT_EQ("abcd", std::string(reinterpret_cast<char*>(bin->binaryValue()), 4));
  EXPECT_EQ(0u, list->getChildRaw(7u)->binaryLength());
  EXPECT_EQ(255, list->getChildRaw(8u)->intValue());
  EXPECT_EQ("<&\"\xC3\xA9", list->getChildRaw(9u)->stringValue());
}

TEST(XMLSAXParser, ValuesWithoutAProperPlace) {
  // A child holding only text, a composite and everything in it, a value placed directly
  // in a map, and a response holding two values.
  auto result =
      parseOk(response("<MapElem><child name=\"t\">just text</child>"
                       "<child name=\"c\"><CompositeElem enclosure=\"k\"><child name=\"z\"><IntegerElem>1</IntegerElem>"
                       "</child></CompositeElem></child>"
                       "<IntegerElem>3</IntegerElem></MapElem>"
                       "<StringElem>second</StringElem>"));
  ASSERT_TRUE(result);
  EXPECT_EQ("second", str(result.get(), "result"));

  result =
      parseOk(response("<MapElem><child name=\"t\">just text</child>"
                       "<child name=\"c\"><CompositeElem/></child>"
                       "<IntegerElem>3</IntegerElem></MapElem>"));
  Element* map = result->getChildRaw("result");
  EXPECT_EQ(1u, map->getNumChildren());
  EXPECT_EQ(3, map->getChildRaw("")->intValue());
}

TEST(XMLSAXParser, UnknownTagsAreReportedAndTheirContentDropped) {
  testing::internal::CaptureStdout();
  auto result =
      parseOk(response("<ListElem><Foo><IntegerElem>1</IntegerElem></Foo>"
                       "<IntegerElem>2</IntegerElem></ListElem>"));
  EXPECT_EQ("UNKNOWN TYPE\r\n", testing::internal::GetCapturedStdout());
  Element* list = result->getChildRaw("result");
  ASSERT_EQ(1u, list->getNumChildren());
  EXPECT_EQ(2, list->getChildRaw(0u)->intValue());
}

TEST(XMLSAXParser, TruncatedMessageParsesWithoutResult) {
  std::unique_ptr<Element> result;
  EXPECT_EQ(0, parse("<response requestID=\"1\"><MapElem><child name=\"a\"><ListElem>"
                     "<IntegerElem>4</IntegerElem>",
                     &result));
  EXPECT_FALSE(result);
  EXPECT_EQ(0, parse("", &result));
  EXPECT_FALSE(result);
}

TEST(XMLSAXParser, MalformedXmlFailsWithExpatsMessageAndLine) {
  std::unique_ptr<Element> result;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, parse("<response requestID=\"1\">\n<MapElem>\n</ListElem>", &result));
  EXPECT_EQ("mismatched tag at line 3\n", testing::internal::GetCapturedStderr());
  EXPECT_FALSE(result);

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, parse("<method>x & y</method>", &result));
  EXPECT_EQ("not well-formed (invalid token) at line 1\n", testing::internal::GetCapturedStderr());

  XMLSAXParser parser;
  EXPECT_EQ(-1, parser.parseMessage("<a>", -1));
  EXPECT_EQ(-1, parser.parseMessage(nullptr, 3));
}

TEST(XMLSAXParser, BadNumberStopsTheParseInsteadOfThrowingThroughExpat) {
  std::unique_ptr<Element> result;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, parse(response("\n<ListElem><IntegerElem>12abc</IntegerElem>"
                               "<IntegerElem>1</IntegerElem></ListElem>"),
                      &result));
  EXPECT_EQ("Illegal conversion at line 3\n", testing::internal::GetCapturedStderr());
  EXPECT_FALSE(result);

  // A message element completed before the failure stays available.
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, parse("<r><method name=\"a\"/><IntegerElem>x</IntegerElem></r>", &result));
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(result);
  EXPECT_EQ("a", str(result.get(), "systemRule"));
}

TEST(XMLSAXParser, NestingIsBounded) {
  auto nested = [](size_t depth) {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) {
      open += "<ListElem>";
      close += "</ListElem>";
    }
    return response(open + close);
  };
  std::unique_ptr<Element> result;
  EXPECT_EQ(0, parse(nested(XMLSAXParser::kMaxDepth - 1), &result));
  EXPECT_TRUE(result);

  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, parse(nested(100000), &result));
  EXPECT_EQ("elements nested too deeply at line 2\n", testing::internal::GetCapturedStderr());
  EXPECT_FALSE(result);
}

TEST(XMLSAXParser, ResultBelongsToTheCallerOnceTaken) {
  Element* taken = nullptr;
  {
    XMLSAXParser parser;
    const std::string text = response("<IntegerElem>1</IntegerElem>");
    ASSERT_EQ(0, parser.parseMessage(text.data(), static_cast<int>(text.size())));
    taken = parser.getResult();
    ASSERT_NE(nullptr, taken);
    EXPECT_EQ(taken, parser.getResult());
  }
  EXPECT_EQ("response", str(taken, "messageType"));  // still alive after the parser
  delete taken;

  // A result nobody takes goes with the parser (the leak checker watches this).
  XMLSAXParser parser;
  const std::string text = response("<IntegerElem>1</IntegerElem>");
  ASSERT_EQ(0, parser.parseMessage(text.data(), static_cast<int>(text.size())));
}

TEST(XMLSAXParser, LaterAttributeOfTheSameNameWins) {
  std::map<std::string, std::string> map{{"name", "old"}};
  const char* attrs[] = {"name", "a", "id", "1", "name", "b", nullptr};
  EXPECT_EQ(0, XMLSAXParser::addAttributes(map, attrs));
  EXPECT_EQ("b", map["name"]);
  EXPECT_EQ("1", map["id"]);
  EXPECT_EQ(2u, map.size());
}

}  // namespace
