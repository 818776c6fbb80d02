// Reading and writing values, and the printed form of the document.
#include "XmlConfig.hh"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

TEST(XmlConfigValue, EmptyStoreGivesDefaultsAndSetBuildsTheTree) {
  XmlConfig config;
  EXPECT_EQ(config.document()->FirstChild(), nullptr);
  EXPECT_FALSE(config.document()->Error());
  EXPECT_STREQ(config.print(), "");
  EXPECT_EQ(config.getInt("/sys/audio", 0), 0);
  EXPECT_EQ(config.getText("/sys/audio"), nullptr);

  EXPECT_EQ(config.setInt("/sys/audio", 2), 0);
  EXPECT_EQ(config.getInt("/sys/audio", 0), 2);
  EXPECT_STREQ(config.getText("/sys/audio"), "2");
  EXPECT_STREQ(config.print(), "<sys>\n\t<audio>2</audio>\n</sys>\n");

  TiXmlNode* sys = config.document()->FirstChild();
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->NextSibling(), nullptr);
  TiXmlNode* audio = sys->FirstChild();
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->NextSibling(), nullptr);
  ASSERT_NE(audio->FirstChild(), nullptr);
  EXPECT_EQ(audio->FirstChild()->NextSibling(), nullptr);
  TiXmlText const* text = audio->FirstChild()->ToText();
  ASSERT_NE(text, nullptr);
  EXPECT_FALSE(text->CDATA());
}

TEST(XmlConfigValue, ElementWithoutChildrenGivesDefaults) {
  XmlConfig config("<sys><audio/><video></video></sys>");
  EXPECT_NE(config.find("/sys/audio"), nullptr);
  EXPECT_EQ(config.getInt("/sys/audio", 11), 11);
  EXPECT_EQ(config.getText("/sys/audio"), nullptr);
  EXPECT_STREQ(config.getText("/sys/audio", "none"), "none");
  EXPECT_EQ(config.getInt("/sys/video", -11), -11);
  EXPECT_EQ(config.getText("/sys/video"), nullptr);
}

TEST(XmlConfigValue, IntegersFollowStrtolClampedTo32Bits) {
  struct Case {
    char const* text;
    int expected;
  };
  const Case cases[] = {
      {"-7", -7},
      {"42xyz", 42},
      {"abc", 0},  // no leading digits gives 0, not the default
      {"0x1F", 0},
      {"+15", 15},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", INT32_MAX},
      {"-2147483649", INT32_MIN},
      {"99999999999999999999999", INT32_MAX},
      {"-99999999999999999999999", INT32_MIN},
      {"- 5", 0},
      {"--5", 0},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    XmlConfig config;
    ASSERT_EQ(config.setText("/sys/audio", c.text), 0);
    EXPECT_EQ(config.getInt("/sys/audio", 12345), c.expected);
    // The same through a parsed document.
    XmlConfig parsed((std::string("<sys><audio>") + c.text + "</audio></sys>").c_str());
    EXPECT_EQ(parsed.getInt("/sys/audio", 12345), c.expected);
  }
}

TEST(XmlConfigValue, LeadingWhiteSpaceIsSkippedWhateverTheChild) {
  // A comment child converts its own text, blanks included.
  XmlConfig comment("<sys><audio><!-- 33 --></audio></sys>");
  EXPECT_EQ(comment.getInt("/sys/audio", 0), 33);
  EXPECT_STREQ(comment.getText("/sys/audio"), " 33 ");

  // A child element converts its name.
  XmlConfig element("<sys><audio><x5/></audio></sys>");
  EXPECT_EQ(element.getInt("/sys/audio", 9), 0);
  EXPECT_STREQ(element.getText("/sys/audio"), "x5");

  XmlConfig spaced;
  ASSERT_EQ(spaced.setText("/a", " \t\n 12 "), 0);
  EXPECT_EQ(spaced.getInt("/a", 0), 12);
}

TEST(XmlConfigValue, SetIntFormatsPlainDecimal) {
  XmlConfig config;
  const struct {
    int value;
    char const* text;
  } cases[] = {{0, "0"}, {5, "5"}, {-5, "-5"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}};
  for (auto const& c : cases) {
    ASSERT_EQ(config.setInt("/v", c.value), 0);
    EXPECT_STREQ(config.getText("/v"), c.text);
    EXPECT_EQ(config.getInt("/v", 1), c.value);
  }
  // Each set leaves exactly one child.
  TiXmlNode* v = config.find("/v");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->FirstChild(), v->LastChild());
}

TEST(XmlConfigValue, SetDeletesAllChildrenOfTheNode) {
  XmlConfig config("<sys><audio>1</audio><!--c--><video><rate>3</rate></video>tail</sys>");
  EXPECT_EQ(config.setInt("/sys", 5), 0);
  TiXmlNode* sys = config.find("/sys");
  ASSERT_NE(sys, nullptr);
  ASSERT_NE(sys->FirstChild(), nullptr);
  EXPECT_EQ(sys->FirstChild(), sys->LastChild());
  EXPECT_NE(sys->FirstChild()->ToText(), nullptr);
  EXPECT_STREQ(sys->FirstChild()->Value(), "5");
  EXPECT_EQ(config.find("/sys/audio"), nullptr);
  EXPECT_EQ(config.find("/sys/video/rate"), nullptr);
  EXPECT_STREQ(config.print(), "<sys>5</sys>\n");

  // Setting text over text replaces it.
  EXPECT_EQ(config.setText("/sys", "new"), 0);
  EXPECT_STREQ(config.getText("/sys"), "new");
  EXPECT_EQ(sys->FirstChild(), sys->LastChild());
}

TEST(XmlConfigValue, MarkupIsEscapedOnlyWhenPrintedOrSaved) {
  char const* markup = "<b attr=\"v\">&'x'</b>";
  XmlConfig config;
  ASSERT_EQ(config.setText("/sys/name", markup), 0);
  EXPECT_STREQ(config.getText("/sys/name"), markup);
  EXPECT_STREQ(config.find("/sys/name")->FirstChild()->Value(), markup);
  // No element was made out of the markup.
  EXPECT_EQ(config.find("/sys/name/b"), nullptr);

  const std::string printed = config.print();
  EXPECT_EQ(printed, "<sys>\n\t<name>&lt;b attr=&quot;v&quot;&gt;&amp;&apos;x&apos;&lt;/b&gt;</name>\n</sys>\n");

  // Parsing the printed form gives back the original text.
  XmlConfig again(printed.c_str());
  EXPECT_STREQ(again.getText("/sys/name"), markup);
}

TEST(XmlConfigValue, ParsedTextIsCondensed) {
  XmlConfig config("<sys><name>  two   words\n here  </name></sys>");
  EXPECT_STREQ(config.getText("/sys/name"), "two words here");
}

TEST(XmlConfigValue, PrintIsRepeatableAndNodesPrintFromDepthZero) {
  XmlConfig config(
      "<?xml version=\"1.0\" ?><!--settings--><sys><audio>1</audio><net><port>8554</port><e/></net></sys>");
  const std::string expected =
      "<?xml version=\"1.0\" ?>\n"
      "<!--settings-->\n"
      "<sys>\n"
      "\t<audio>1</audio>\n"
      "\t<net>\n"
      "\t\t<port>8554</port>\n"
      "\t\t<e />\n"
      "\t</net>\n"
      "</sys>\n";
  char const* first = config.print();
  EXPECT_EQ(expected, first);
  EXPECT_EQ(expected, config.print());  // not the text twice

  EXPECT_STREQ(config.print(config.find("/sys/net")), "<net>\n\t<port>8554</port>\n\t<e />\n</net>\n");
  EXPECT_STREQ(config.print(config.find("/sys/audio")), "<audio>1</audio>\n");

  // A null node gives null and leaves the last printed text alone.
  char const* last = config.print(config.find("/sys/audio"));
  EXPECT_EQ(config.print(nullptr), nullptr);
  EXPECT_STREQ(last, "<audio>1</audio>\n");
  EXPECT_EQ(config.print(config.find("/sys/missing")), nullptr);
  EXPECT_STREQ(last, "<audio>1</audio>\n");

  config.setInt("/sys/audio", 0);
  EXPECT_NE(expected, config.print());
}

TEST(XmlConfigValue, ClearKeepsValueAndErrorState) {
  XmlConfig config("<sys><audio>1</audio><open>");
  EXPECT_TRUE(config.document()->Error());
  config.document()->SetValue("name.xml");
  config.clear();
  EXPECT_EQ(config.document()->FirstChild(), nullptr);
  EXPECT_STREQ(config.document()->Value(), "name.xml");
  EXPECT_TRUE(config.document()->Error());
  EXPECT_EQ(config.getInt("/sys/audio", 3), 3);
  EXPECT_STREQ(config.print(), "");
}

}  // namespace
