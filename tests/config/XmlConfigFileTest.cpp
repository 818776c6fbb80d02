// Loading, parsing and saving: results, error states and what the store
// holds afterwards.
#include "XmlConfig.hh"

#include "ConfigTestFiles.hh"

#include <gtest/gtest.h>

#include <string>

namespace {

char const* const kSettings = "<sys>\n    <audio>1</audio>\n    <name>cam</name>\n</sys>\n";

TEST(XmlConfigFile, LoadReadsTheFileAndRecordsItsName) {
  ScratchDir dir;
  const std::string path = dir.file("ostra.xml");
  writeFile(path, kSettings);

  XmlConfig config;
  EXPECT_TRUE(config.load(path.c_str()));
  EXPECT_FALSE(config.document()->Error());
  EXPECT_STREQ(config.document()->Value(), path.c_str());
  EXPECT_EQ(config.getInt("/sys/audio", 0), 1);
  EXPECT_STREQ(config.getText("/sys/name"), "cam");
}

TEST(XmlConfigFile, LoadReplacesThePreviousDocument) {
  ScratchDir dir;
  const std::string path = dir.file("b.xml");
  writeFile(path, "<other>4</other>");

  XmlConfig config(kSettings);
  ASSERT_EQ(config.getInt("/sys/audio", 0), 1);
  EXPECT_TRUE(config.load(path.c_str()));
  EXPECT_EQ(config.find("/sys"), nullptr);
  EXPECT_EQ(config.getInt("/other", 0), 4);
  EXPECT_STREQ(config.print(), "<other>4</other>\n");
}

TEST(XmlConfigFile, LineEndsAreTurnedIntoLineFeeds) {
  ScratchDir dir;
  const std::string path = dir.file("crlf.xml");
  writeFile(path, "<sys>\r\n<audio>1</audio>\r<name>a\r\nb</name>\r\n</sys>\r\n");
  XmlConfig config;
  EXPECT_TRUE(config.load(path.c_str()));
  EXPECT_EQ(config.getInt("/sys/audio", 0), 1);
  EXPECT_STREQ(config.getText("/sys/name"), "a b");
}

TEST(XmlConfigFile, MissingFileEmptiesTheStore) {
  ScratchDir dir;
  XmlConfig config(kSettings);
  ASSERT_EQ(config.getInt("/sys/audio", 0), 1);

  EXPECT_FALSE(config.load(dir.file("absent.xml").c_str()));
  EXPECT_TRUE(config.document()->Error());
  EXPECT_STREQ(config.document()->ErrorDesc(), "Failed to open file");
  EXPECT_EQ(config.document()->FirstChild(), nullptr);
  EXPECT_EQ(config.getInt("/sys/audio", 0), 0);
  EXPECT_EQ(config.getInt("/sys/audio", -1), -1);
  EXPECT_EQ(config.getText("/sys/name"), nullptr);
  EXPECT_STREQ(config.getText("/sys/name", "d"), "d");
  EXPECT_STREQ(config.print(), "");

  // A directory cannot be loaded either.
  XmlConfig other(kSettings);
  EXPECT_FALSE(other.load(dir.path().c_str()));
  EXPECT_STREQ(other.document()->ErrorDesc(), "Failed to open file");
  EXPECT_EQ(other.document()->FirstChild(), nullptr);

  XmlConfig nullName(kSettings);
  EXPECT_FALSE(nullName.load(nullptr));
  EXPECT_STREQ(nullName.document()->ErrorDesc(), "Failed to open file");
  EXPECT_EQ(nullName.document()->FirstChild(), nullptr);
}

TEST(XmlConfigFile, EmptyOrNodelessFileIsRefused) {
  ScratchDir dir;
  for (char const* content : {"", "   \n\t ", "just text"}) {
    SCOPED_TRACE(content);
    const std::string path = dir.file("empty.xml");
    writeFile(path, content);
    XmlConfig config(kSettings);
    EXPECT_FALSE(config.load(path.c_str()));
    EXPECT_STREQ(config.document()->ErrorDesc(), "Error document empty.");
    EXPECT_EQ(config.document()->FirstChild(), nullptr);
  }
}

TEST(XmlConfigFile, ByteOrderMarkFileIsRefused) {
  ScratchDir dir;
  const std::string path = dir.file("bom.xml");
  writeFile(path, std::string("\xEF\xBB\xBF") + kSettings);

  XmlConfig config(kSettings);
  EXPECT_FALSE(config.load(path.c_str()));
  EXPECT_TRUE(config.document()->Error());
  EXPECT_STREQ(config.document()->ErrorDesc(), "Error document empty.");
  EXPECT_EQ(config.document()->FirstChild(), nullptr);
  EXPECT_EQ(config.getInt("/sys/audio", 0), 0);

  // The same text given to parse.
  XmlConfig parsed;
  EXPECT_EQ(parsed.parse((std::string("\xEF\xBB\xBF") + kSettings).c_str()), nullptr);
  EXPECT_EQ(parsed.document()->FirstChild(), nullptr);
}

TEST(XmlConfigFile, EncodingDeclarationIsNotConsulted) {
  // Bytes are read one by one whatever the declaration names.
  XmlConfig config("<?xml version=\"1.0\" encoding=\"UTF-8\"?><sys><name>caf\xC3\xA9</name></sys>");
  EXPECT_FALSE(config.document()->Error());
  EXPECT_STREQ(config.getText("/sys/name"), "caf\xC3\xA9");
}

TEST(XmlConfigFile, CutOffFileKeepsTheValuesBeforeTheCut) {
  ScratchDir dir;
  const std::string path = dir.file("cut.xml");
  writeFile(path, "<sys>\n<audio>1</audio>\n<name>cam</name>\n<vid");

  XmlConfig config;
  EXPECT_FALSE(config.load(path.c_str()));
  EXPECT_TRUE(config.document()->Error());
  EXPECT_EQ(config.getInt("/sys/audio", 0), 1);
  EXPECT_STREQ(config.getText("/sys/name"), "cam");
  EXPECT_EQ(config.getInt("/sys/vid", 7), 7);
}

TEST(XmlConfigFile, ParseResultsAndContent) {
  XmlConfig config;
  EXPECT_EQ(config.parse(nullptr), nullptr);
  EXPECT_EQ(config.parse(""), nullptr);
  EXPECT_STREQ(config.document()->ErrorDesc(), "Error document empty.");

  // The library's result comes back unchanged: where parsing stopped, which
  // the library gives as null when the last node ends the text.
  for (char const* text : {"<a>1</a>", "<a>1</a>\n", "<a>1</a> <b/>  "}) {
    SCOPED_TRACE(text);
    TiXmlDocument reference;
    char const* expected = reference.Parse(text, nullptr, TIXML_ENCODING_LEGACY);
    EXPECT_EQ(config.parse(text), expected);
    EXPECT_FALSE(config.document()->Error());
    EXPECT_EQ(config.getInt("/a", 0), 1);
  }
  char const* text = "<a>1</a>\n";
  char const* end = config.parse(text);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end, text + 9);

  // A new parse replaces the content; a failing one keeps what was linked before the error.
  EXPECT_EQ(config.parse("<b><c>2</c><d>"), nullptr);
  EXPECT_TRUE(config.document()->Error());
  EXPECT_EQ(config.find("/a"), nullptr);
  EXPECT_EQ(config.getInt("/b/c", 0), 2);

  // The constructor with text fails the same way and holds the same content.
  XmlConfig constructed("<b><c>2</c><d>");
  EXPECT_TRUE(constructed.document()->Error());
  EXPECT_EQ(constructed.getInt("/b/c", 0), 2);
  XmlConfig empty("");
  EXPECT_EQ(empty.document()->FirstChild(), nullptr);
  XmlConfig nullText(nullptr);
  EXPECT_EQ(nullText.document()->FirstChild(), nullptr);
}

TEST(XmlConfigFile, SaveWritesTheLibraryLayoutAndLoadsBack) {
  ScratchDir dir;
  const std::string path = dir.file("saved.xml");
  // An existing longer file is truncated.
  writeFile(path, std::string(4096, 'z'));

  XmlConfig config;
  ASSERT_EQ(config.setInt("/sys/audio", 1), 0);
  ASSERT_EQ(config.setText("/sys/net/name", "a<b&c"), 0);
  ASSERT_EQ(config.setInt("/cfg", -2), 0);
  const std::string printedBefore = config.print();
  EXPECT_TRUE(config.save(path.c_str()));
  EXPECT_EQ(readFile(path),
            "<sys>\n"
            "    <audio>1</audio>\n"
            "    <net>\n"
            "        <name>a&lt;b&amp;c</name>\n"
            "    </net>\n"
            "</sys>\n"
            "<cfg>-2</cfg>\n");
  EXPECT_EQ(printedBefore, config.print());  // the document is unchanged

  XmlConfig loaded;
  EXPECT_TRUE(loaded.load(path.c_str()));
  EXPECT_EQ(loaded.getInt("/sys/audio", 0), 1);
  EXPECT_STREQ(loaded.getText("/sys/net/name"), "a<b&c");
  EXPECT_EQ(loaded.getInt("/cfg", 0), -2);
  EXPECT_EQ(printedBefore, loaded.print());

  // A loaded document saves without a byte-order mark.
  const std::string again = dir.file("again.xml");
  EXPECT_TRUE(loaded.save(again.c_str()));
  EXPECT_EQ(readFile(again), readFile(path));
}

TEST(XmlConfigFile, SaveToAnUnwritablePlaceFails) {
  ScratchDir dir;
  XmlConfig config(kSettings);
  const std::string before = config.print();

  EXPECT_FALSE(config.save(dir.file("no/such/dir/x.xml").c_str()));
  EXPECT_FALSE(config.save(dir.path().c_str()));  // a directory
  EXPECT_FALSE(config.save(nullptr));
  // Opening works but writing does not: the stream's error flag decides.
  EXPECT_FALSE(config.save("/dev/full"));

  EXPECT_EQ(before, config.print());
  EXPECT_EQ(config.getInt("/sys/audio", 0), 1);
}

}  // namespace
