#include "sprite_table.h"

#include <gtest/gtest.h>

#include <string>

#include "test_streams.h"

TEST(SpriteRecord, EncodesFieldByFieldLittleEndian) {
    SpriteEntry e = sprite("ab", "tx", 0x0102, 0x0304, 0x0506, 0x0708, 0x0A0B0C0D);
    std::string bytes = stb_of({e});
    ASSERT_EQ(bytes.size(), 52u);
    EXPECT_EQ(bytes.substr(0, 3), std::string("ab\0", 3));
    EXPECT_EQ(bytes.substr(32, 3), std::string("tx\0", 3));
    EXPECT_EQ(bytes.substr(40), std::string("\x02\x01\x04\x03\x06\x05\x08\x07\x0D\x0C\x0B\x0A", 12));
    EXPECT_EQ(decode_sprite(reinterpret_cast<const unsigned char*>(bytes.data())), e);
}

TEST(SpriteRecord, TextFieldsAreZeroFilledAndMayBeFull) {
    SpriteEntry e = empty_sprite();
    std::memset(e.name, 'x', sizeof e.name);
    set_sprite_text(e.name, SPRITE_NAME_SIZE, "short");
    EXPECT_EQ(std::string(e.name, 32), std::string("short") + std::string(27, '\0'));
    set_sprite_text(e.texture, SPRITE_TEXTURE_SIZE, "texture_too_long");
    EXPECT_EQ(std::string(e.texture, 8), "texture_");
    EXPECT_EQ(sprite_text_length(e.texture, SPRITE_TEXTURE_SIZE), 8u);
}

TEST(ListView, PrintsHeadingsAndFixedWidthRows) {
    SpriteEntry full = sprite("01234567890123456789012345678901", "abcdefgh", 65535, 0, 1, 2, 0xAB12);
    SpriteEntry hidden = sprite("ab", "t", 0, 0, 0, 0, 0);
    hidden.name[3] = 'z';  // bytes after the first zero are never shown
    EXPECT_EQ(write_form(list_sprites, {full, hidden}),
              "NAME                             TEXTURE  U     V     W     H     FLAGS     \n"
              "-------------------------------- -------- ----- ----- ----- ----- ----------\n"
              "01234567890123456789012345678901 abcdefgh 65535     0     1     2 0x0000ab12\n"
              "ab                               t            0     0     0     0 0x00000000\n");
}

TEST(ListView, IgnoresAShortTail) {
    std::string one = stb_of({sprite("a", "b", 1, 2, 3, 4, 5)});
    auto rows = [](const std::string& bytes) {
        FILE* stb = stream_with(bytes);
        FILE* out = std::tmpfile();
        list_sprites(out, stb);
        std::string text = stream_contents(out);
        std::fclose(out);
        std::fclose(stb);
        return std::count(text.begin(), text.end(), '\n') - 2;
    };
    EXPECT_EQ(rows(""), 0);
    EXPECT_EQ(rows(one.substr(0, 51)), 0);
    EXPECT_EQ(rows(one + "x"), 1);
    EXPECT_EQ(rows(one + one + one.substr(0, 51)), 2);
}
