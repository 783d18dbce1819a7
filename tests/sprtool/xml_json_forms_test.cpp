#include "xml_json_forms.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>
#include <vector>

#include "test_streams.h"

namespace {

// Parses one element of XML text and converts it; false when it is refused.
bool sprite_from_text(const char* xml, SpriteEntry* e) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml), tinyxml2::XML_SUCCESS) << xml;
    return sprite_from_xml(*doc.RootElement(), e);
}

}  // namespace

TEST(XmlSprite, ConvertsAttributesWithAutomaticBase) {
    SpriteEntry e;
    ASSERT_TRUE(sprite_from_text("<sprite name=\"n\" texture=\"t\" u=\"0x10\" v=\"-1\" width=\"abc\"/>", &e));
    EXPECT_EQ(e, sprite("n", "t", 16, 65535, 0, 0, 0));
    ASSERT_TRUE(sprite_from_text(
        "<sprite flags=\"4294967296\" height=\" 010\" texture=\"texture_long\" extra=\"1\" "
        "name=\"0123456789012345678901234567890123\" u=\"70000\"/>", &e));
    EXPECT_EQ(e, sprite("01234567890123456789012345678901", "texture_", 4464, 0, 0, 8, 0xFFFFFFFF));
}

TEST(XmlSprite, NeedsNameAndTextureButMayHaveThemEmpty) {
    SpriteEntry e;
    EXPECT_FALSE(sprite_from_text("<sprite texture=\"t\" u=\"1\"/>", &e));
    EXPECT_FALSE(sprite_from_text("<sprite name=\"n\" u=\"1\"/>", &e));
    ASSERT_TRUE(sprite_from_text("<sprite name=\"\" texture=\"\"/>", &e));
    EXPECT_EQ(e, empty_sprite());
    ASSERT_TRUE(sprite_from_text("<sprite name=\"a&amp;b&#x41;\" texture=\"&lt;\"/>", &e));
    EXPECT_EQ(e, sprite("a&bA", "<", 0, 0, 0, 0, 0));
}

TEST(XmlReader, TakesOnlySpriteChildrenOfTheRoot) {
    std::string xml =
        "<?xml version=\"1.0\"?>\n<!-- c -->\n<other><sprite name=\"no\" texture=\"t\"/></other>\n"
        "<spritetable>\n text\n"
        "  <sprite name=\"one\" texture=\"t\" u=\"1\"><sprite name=\"inner\" texture=\"t\"/></sprite>\n"
        "  <Sprite name=\"case\" texture=\"t\"/>\n"
        "  <include/>\n"
        "  <group><sprite name=\"deep\" texture=\"t\"/></group>\n"
        "  <sprite texture=\"no name\"/>\n"
        "  <sprite name=\"two\" texture=\"t\" flags=\"0x80\"/>\n"
        "</spritetable>\n";
    EXPECT_EQ(read_form(read_xml, xml), stb_of({sprite("one", "t", 1, 0, 0, 0, 0),
                                                 sprite("two", "t", 0, 0, 0, 0, 0x80)}));
    EXPECT_EQ(read_form(read_xml, "<table><sprite name=\"a\" texture=\"b\"/></table>"), "");
}

TEST(XmlForm, WritesThePlainForm) {
    std::string text = write_form(write_xml, sample_table());
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n"
              "\t<sprite name=\"hero_walk_right_frame_0123456789\" texture=\"chars_01\" u=\"0\" "
              "v=\"0\" width=\"32\" height=\"48\" flags=\"0x00000001\"/>\n"
              "\t<sprite name=\"a\" texture=\"t\" u=\"65535\" v=\"65535\" width=\"65535\" "
              "height=\"65535\" flags=\"0xffffffff\"/>\n"
              "\t<sprite name=\"ui/button.pressed\" texture=\"ui\" u=\"128\" v=\"256\" "
              "width=\"64\" height=\"16\" flags=\"0x0000ab12\"/>\n"
              "</spritetable>\n");
    EXPECT_EQ(write_form(write_xml, {}),
              "<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n</spritetable>\n");
}

TEST(XmlForm, EscapesSoThatEveryNameComesBack) {
    std::vector<SpriteEntry> table = sample_table();
    table.push_back(sprite("", "", 1, 2, 3, 4, 5));
    table.push_back(sprite("a&b<c>d\"e'f", "\t\n\r\x01", 0, 0, 0, 0, 0));
    table.push_back(sprite("caf\xE9 \xFF", "x", 0, 0, 0, 0, 0));
    std::string text = write_form(write_xml, table);
    EXPECT_NE(text.find("name=\"a&amp;b&lt;c&gt;d&quot;e'f\" texture=\"&#x09;&#x0A;&#x0D;&#x01;\""),
              std::string::npos);
    EXPECT_EQ(read_form(read_xml, text), stb_of(table));
}

TEST(JsonForm, WritesObjectsSeparatedByCommas) {
    std::vector<SpriteEntry> two = {sprite("a", "t", 1, 2, 3, 65535, 0xAB12),
                                    sprite("b", "u", 0, 0, 0, 0, 0)};
    EXPECT_EQ(write_form(write_json, two),
              "[\n"
              "\t{\n\t\t\"name\": \"a\",\n\t\t\"texture\": \"t\",\n\t\t\"u\": 1,\n\t\t\"v\": 2,\n"
              "\t\t\"width\": 3,\n\t\t\"height\": 65535,\n\t\t\"flags\": \"0x0000ab12\"\n\t},\n"
              "\t{\n\t\t\"name\": \"b\",\n\t\t\"texture\": \"u\",\n\t\t\"u\": 0,\n\t\t\"v\": 0,\n"
              "\t\t\"width\": 0,\n\t\t\"height\": 0,\n\t\t\"flags\": \"0x00000000\"\n\t}"
              "\n]\n");
    EXPECT_EQ(write_form(write_json, {}), "[\n\n]\n");
}

TEST(JsonForm, EscapesQuotesBackslashesControlAndHighBytes) {
    std::string text = write_form(write_json, {sprite("q\"b\\n\x1f", "\xE9\n", 0, 0, 0, 0, 0)});
    EXPECT_NE(text.find("\"name\": \"q\\\"b\\\\n\\u001F\","), std::string::npos) << text;
    EXPECT_NE(text.find("\"texture\": \"\\u00E9\\u000A\","), std::string::npos) << text;
    // The full 32 bytes of a name without terminator, and nothing of the texture.
    std::string full = write_form(write_json, {sprite("01234567890123456789012345678901", "abcdefgh", 0, 0, 0, 0, 0)});
    EXPECT_NE(full.find("\"name\": \"01234567890123456789012345678901\",\n\t\t\"texture\": \"abcdefgh\","),
              std::string::npos);
}
