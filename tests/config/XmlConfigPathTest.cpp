// Path resolution of the configuration store: splitting, matching, creation
// of missing elements, removal and the 511-character limit.
#include "XmlConfig.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

char const* const kSysAudio = "<sys><audio>1</audio><video>2</video></sys>";

TEST(XmlConfigPath, SlashRunsAndEndsDoNotMatter) {
  XmlConfig config(kSysAudio);
  TiXmlNode* audio = config.find("/sys/audio");
  ASSERT_NE(audio, nullptr);
  EXPECT_STREQ(audio->Value(), "audio");
  EXPECT_EQ(config.find("sys/audio"), audio);
  EXPECT_EQ(config.find("//sys//audio/"), audio);
  EXPECT_EQ(config.find("/sys/audio///"), audio);
  EXPECT_EQ(config.getInt("//sys//audio/", 0), 1);
  EXPECT_EQ(config.find("/sys"), config.document()->FirstChild());
}

TEST(XmlConfigPath, EmptyAndSlashOnlyPathsNameNothing) {
  XmlConfig config(kSysAudio);
  const std::string before = config.print();
  for (char const* path : {"", "/", "///"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(config.find(path), nullptr);
    EXPECT_EQ(config.getInt(path, 17), 17);
    EXPECT_EQ(config.getText(path), nullptr);
    EXPECT_STREQ(config.getText(path, "dflt"), "dflt");
    EXPECT_EQ(config.setInt(path, 3), -1);
    EXPECT_EQ(config.setText(path, "x"), -1);
    config.remove(path);
    EXPECT_EQ(before, config.print());
  }
  EXPECT_EQ(config.find(nullptr), nullptr);
  EXPECT_EQ(config.getInt(nullptr, 4), 4);
  EXPECT_EQ(config.getText(nullptr), nullptr);
  EXPECT_STREQ(config.getText(nullptr, "d"), "d");
  EXPECT_EQ(config.setInt(nullptr, 1), -1);
  EXPECT_EQ(config.setText(nullptr, "x"), -1);
  EXPECT_EQ(config.setText("/sys/audio", nullptr), -1);
  config.remove(nullptr);
  EXPECT_EQ(before, config.print());
}

TEST(XmlConfigPath, MissingComponentsNameNothing) {
  XmlConfig config(kSysAudio);
  EXPECT_EQ(config.find("/sys/none"), nullptr);
  EXPECT_EQ(config.find("/none/audio"), nullptr);
  EXPECT_EQ(config.find("/sys/audio/deeper/still"), nullptr);
  EXPECT_EQ(config.find("/audio"), nullptr);  // only children of the node taken last are searched
  EXPECT_EQ(config.getInt("/sys/none", -5), -5);
  const std::string before = config.print();
  config.remove("/sys/none");
  EXPECT_EQ(before, config.print());
}

TEST(XmlConfigPath, NamesAreCaseSensitive) {
  XmlConfig config(kSysAudio);
  EXPECT_EQ(config.find("/SYS/audio"), nullptr);
  EXPECT_EQ(config.find("/sys/Audio"), nullptr);
  EXPECT_EQ(config.getInt("/SYS/audio", 8), 8);
}

TEST(XmlConfigPath, FirstSiblingOfTheNameIsReadAndWritten) {
  XmlConfig config("<sys><audio>1</audio><audio>2</audio></sys>");
  TiXmlNode* first = config.document()->FirstChild()->FirstChild();
  TiXmlNode* second = first->NextSibling();
  EXPECT_EQ(config.find("/sys/audio"), first);
  EXPECT_EQ(config.getInt("/sys/audio", 0), 1);

  EXPECT_EQ(config.setInt("/sys/audio", 9), 0);
  EXPECT_STREQ(first->FirstChild()->Value(), "9");
  EXPECT_STREQ(second->FirstChild()->Value(), "2");
  EXPECT_EQ(config.getInt("/sys/audio", 0), 9);

  config.remove("/sys/audio");
  EXPECT_EQ(config.find("/sys/audio"), second);  // now the first of the name
  EXPECT_EQ(config.getInt("/sys/audio", 0), 2);
}

TEST(XmlConfigPath, TextAndCommentNodesMatchLikeElements) {
  XmlConfig config("<sys>audio</sys>");
  TiXmlNode* found = config.find("/sys/audio");
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found->ToText(), nullptr);
  EXPECT_EQ(config.getInt("/sys/audio", 9), 9);  // a text node has no children
  EXPECT_EQ(config.getText("/sys/audio"), nullptr);

  // A comment whose text equals the component comes first and hides the element behind it.
  XmlConfig commented("<sys><!--audio--><audio>3</audio></sys>");
  found = commented.find("/sys/audio");
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found->ToComment(), nullptr);
  EXPECT_EQ(commented.getInt("/sys/audio", 9), 9);
}

TEST(XmlConfigPath, DeclarationHasAnEmptyValueAndIsSkipped) {
  XmlConfig config("<?xml version=\"1.0\" ?><sys><audio>4</audio></sys>");
  ASSERT_NE(config.document()->FirstChild()->ToDeclaration(), nullptr);
  EXPECT_EQ(config.getInt("/sys/audio", 0), 4);
}

TEST(XmlConfigPath, SettingCreatesMissingElementsAfterExistingNodes) {
  XmlConfig config("<sys><a>1</a></sys>");
  EXPECT_EQ(config.setInt("/cfg/x", 1), 0);
  TiXmlNode* sys = config.document()->FirstChild();
  ASSERT_NE(sys, nullptr);
  EXPECT_STREQ(sys->Value(), "sys");
  TiXmlNode* cfg = sys->NextSibling();
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfg->Value(), "cfg");
  ASSERT_NE(cfg->ToElement(), nullptr);
  EXPECT_EQ(cfg->NextSibling(), nullptr);
  TiXmlNode* x = cfg->FirstChild();
  ASSERT_NE(x, nullptr);
  EXPECT_STREQ(x->Value(), "x");
  EXPECT_EQ(x->NextSibling(), nullptr);
  ASSERT_NE(x->FirstChild(), nullptr);
  EXPECT_NE(x->FirstChild()->ToText(), nullptr);
  EXPECT_STREQ(x->FirstChild()->Value(), "1");

  // A missing deeper component goes behind the existing children of its parent.
  EXPECT_EQ(config.setText("/sys/b/c", "t"), 0);
  TiXmlNode* a = sys->FirstChild();
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->Value(), "a");
  ASSERT_NE(a->NextSibling(), nullptr);
  EXPECT_STREQ(a->NextSibling()->Value(), "b");
  EXPECT_EQ(a->NextSibling()->ToElement()->FirstAttribute(), nullptr);
  EXPECT_STREQ(config.getText("/sys/b/c"), "t");
  EXPECT_EQ(config.getInt("/sys/a", 0), 1);
}

TEST(XmlConfigPath, ComponentBecomesTheElementNameUnchecked) {
  XmlConfig config;
  EXPECT_EQ(config.setInt("/9 lives/a.b-c", 1), 0);
  EXPECT_STREQ(config.document()->FirstChild()->Value(), "9 lives");
  EXPECT_EQ(config.getInt("9 lives/a.b-c", 0), 1);
}

TEST(XmlConfigPath, RemoveDeletesTheWholeSubtree) {
  XmlConfig config("<top/><sys><audio>1</audio><deep><er>2</er></deep></sys><tail/>");
  config.remove("/sys");
  EXPECT_EQ(config.find("/sys"), nullptr);
  EXPECT_EQ(config.getInt("/sys/audio", 0), 0);
  EXPECT_STREQ(config.print(), "<top />\n<tail />\n");

  config.remove("/tail");
  EXPECT_STREQ(config.print(), "<top />\n");
}

TEST(XmlConfigPath, LongestPathFitsAndLongerNamesNothing) {
  // "/" followed by a 510-character name: 511 characters in all.
  const std::string name(510, 'n');
  const std::string longest = "/" + name;
  ASSERT_EQ(longest.size(), 511u);

  XmlConfig config;
  EXPECT_EQ(config.setInt(longest.c_str(), 6), 0);
  ASSERT_NE(config.find(longest.c_str()), nullptr);
  EXPECT_EQ(config.find(longest.c_str())->Value(), name);
  EXPECT_EQ(config.getInt(longest.c_str(), 0), 6);

  // The same node with one more slash in front is 512 characters and names nothing.
  const std::string tooLong = "/" + longest;
  ASSERT_EQ(tooLong.size(), 512u);
  const std::string before = config.print();
  EXPECT_EQ(config.find(tooLong.c_str()), nullptr);
  EXPECT_EQ(config.getInt(tooLong.c_str(), -3), -3);
  EXPECT_EQ(config.getText(tooLong.c_str()), nullptr);
  EXPECT_STREQ(config.getText(tooLong.c_str(), "d"), "d");
  EXPECT_EQ(config.setInt(tooLong.c_str(), 7), -1);
  EXPECT_EQ(config.setText(tooLong.c_str(), "x"), -1);
  config.remove(tooLong.c_str());
  EXPECT_EQ(before, config.print());
  EXPECT_EQ(config.getInt(longest.c_str(), 0), 6);

  // Much longer paths, including short components, change nothing either.
  std::string huge;
  for (int i = 0; i < 2000; ++i) huge += "/a";
  EXPECT_EQ(config.setInt(huge.c_str(), 1), -1);
  EXPECT_EQ(config.find(huge.c_str()), nullptr);
  EXPECT_EQ(before, config.print());
}

}  // namespace
