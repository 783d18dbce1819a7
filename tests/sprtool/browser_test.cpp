// The page of sprtool v in a real browser: headless Chromium draws it, and
// the screenshot's pixels and the browser's DOM are checked. The sample
// table's picture for the README is made here too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "png_image.h"
#include "sprtool_run.h"

static const char kBrowser[] = "/usr/bin/chromium";

// The browser, or why the test cannot run. On CI a missing browser fails.
#define NEED_BROWSER()                                                                       \
    if (!file_exists(kBrowser)) {                                                            \
        if (std::getenv("CI")) FAIL() << kBrowser << " is missing (scripts/test.sh installs it)"; \
        GTEST_SKIP() << kBrowser << " is not installed";                                     \
    }

// Runs the browser on the page with one more option; its standard output.
static std::string browse(const TempDir& d, const std::string& page, const std::string& option) {
    const std::string profile = d.file("profile-" + std::to_string(std::rand()));
    std::filesystem::create_directory(profile);
    ProcessResult r =
        run_process({kBrowser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
                     "--hide-scrollbars", "--force-device-scale-factor=1",
                     "--window-size=1200,1800", option, "file://" + d.file(page)},
                    d.path);
    EXPECT_EQ(r.status, 0) << "the browser failed: " << r.err;
    return r.raw_out;
}

static Pixels screenshot(const TempDir& d, const std::string& page) {
    browse(d, page, "--screenshot=" + d.file("shot.png"));
    Pixels shot;
    EXPECT_TRUE(read_png_file(d.file("shot.png"), &shot)) << "no screenshot";
    return shot;
}

static bool near(Rgb a, Rgb b) {
    return std::abs(a.r - b.r) <= 12 && std::abs(a.g - b.g) <= 12 && std::abs(a.b - b.b) <= 12;
}

static std::string colour_text(Rgb c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

static const Rgb kGreen = {0, 160, 0};
static const Rgb kBlue = {0, 0, 255};
constexpr int kScale = 8;  // a 64 x 64 texture is drawn 8 times larger

// Where texel (0, 0) of the drawing lies: found through the texture's blue
// 8 x 8 block at texel (48, 48), the only blue square of that size.
static bool find_origin(const Pixels& shot, int* x0, int* y0) {
    const int side = 8 * kScale - 1;
    auto blue = [&](int x, int y) { return near(pixel_at(shot, x, y), kBlue); };
    for (int y = 1; y + side < shot.height; ++y) {
        for (int x = 1; x + side < shot.width; ++x) {
            if (blue(x, y) && !blue(x - 1, y) && !blue(x, y - 1) && blue(x + side, y) &&
                blue(x, y + side) && blue(x + side, y + side)) {
                *x0 = x - 48 * kScale;
                *y0 = y - 48 * kScale;
                return true;
            }
        }
    }
    return false;
}

TEST(Browser, OverlapsAreFilledOverTheEmbeddedImage) {
    NEED_BROWSER();
    TempDir d;
    // a and b overlap; c stands alone on the image.
    write_file(d.file("t.stb"), rec("a", "tex", 0, 0, 24, 24) + rec("b", "tex", 16, 16, 24, 24) +
                                    rec("c", "tex", 44, 4, 8, 8));
    Pixels texture = solid_pixels(64, 64, kGreen);
    fill_pixels(&texture, 48, 48, 8, 8, kBlue);
    std::filesystem::create_directory(d.file("tex"));
    write_file(d.file("tex/tex.png"), png_file_bytes(texture));
    ASSERT_EQ(run(d, {"v", "t.stb", "page.html", "tex"}), "0 |");
    Pixels shot = screenshot(d, "page.html");
    int x0 = 0, y0 = 0;
    ASSERT_TRUE(find_origin(shot, &x0, &y0)) << "the image's blue block is not on the screen";
    auto texel = [&](int x, int y) {
        return pixel_at(shot, x0 + x * kScale + kScale / 2, y0 + y * kScale + kScale / 2);
    };
    // Half of the warning colour #ff3000 over the image's green.
    EXPECT_TRUE(near(texel(6, 6), {128, 104, 0}))
        << "inside a, where only a lies: " << colour_text(texel(6, 6));
    EXPECT_TRUE(near(texel(47, 8), kGreen))
        << "inside c, which overlaps nothing: " << colour_text(texel(47, 8));
    EXPECT_TRUE(near(texel(30, 56), kGreen))
        << "the image where no sprite lies: " << colour_text(texel(30, 56));
}

// The page as the user leaves it after moving the focus to sprite 7 (a
// script added at its end does what the Tab key would).
TEST(Browser, TheDomShowsTheSummaryCountsAndTheFocusedSprite) {
    NEED_BROWSER();
    TempDir d;
    write_file(d.file("t.stb"), findings_table() + rec("<&>", "other", 7, 8, 9, 10, 0xBEEF));
    std::filesystem::create_directory(d.file("tex"));
    write_file(d.file("tex/chars.png"), png_file_bytes(solid_pixels(32, 32, kGreen)));
    ASSERT_EQ(run(d, {"v", "t.stb", "page.html", "tex"}), "0 |");
    std::string page = read_file(d.file("page.html"));
    page.insert(page.rfind("</body>"), "<script>document.getElementById('s7').focus()</script>");
    write_file(d.file("page.html"), page);
    const std::string dom = browse(d, "page.html", "--dump-dom");
    EXPECT_NE(dom.find("<td>32 x 32</td><td class=\"n sprites\">5</td>"
                       "<td class=\"n overlapping\">2</td><td class=\"n bounds\">1</td>"
                       "<td class=\"n zero\">1</td>"),
              std::string::npos)
        << "the row of texture chars: 5 sprites, 2 overlapping, 1 out of bounds, 1 zero size\n"
        << dom.substr(0, 4000);
    EXPECT_NE(dom.find("<div id=\"info\" style=\"display: block;\">sprite  7\nname    &lt;&amp;&gt;\n"
                       "texture other\nu       7\nv       8\nwidth   9\nheight  10\n"
                       "flags   0x0000beef</div>"),
              std::string::npos)
        << "the fields of sprite 7 are not shown:\n"
        << dom.substr(std::min(dom.find("<div id=\"info\""), dom.size()), 300);
}

// The README's picture: the sample table over textures made for it.
TEST(Browser, DrawsTheSampleTableForTheReadme) {
    NEED_BROWSER();
    TempDir d;
    for (const char* name : {"sprites.txt", "ui_icons.txt"}) {
        write_file(d.file(name), read_file(std::string(SAMPLES_DIR) + "/" + name));
    }
    std::filesystem::create_directory(d.file("textures"));
    Pixels chars = solid_pixels(64, 96, {205, 225, 205});
    for (int x : {8, 40}) {
        fill_pixels(&chars, x, 8, 16, 36, {120, 150, 200});
        fill_pixels(&chars, x, 56, 16, 36, {200, 150, 120});
    }
    write_file(d.file("textures/chars_01.png"), png_file_bytes(chars));
    Pixels ui = solid_pixels(128, 256, {230, 230, 245});
    fill_pixels(&ui, 2, 2, 12, 12, {220, 60, 80});
    fill_pixels(&ui, 18, 2, 12, 12, {230, 190, 40});
    write_file(d.file("textures/ui_atlas.png"), png_file_bytes(ui));
    ASSERT_EQ(run(d, {"wt", "sprites.stb", "sprites.txt"}), "0 |");
    ASSERT_EQ(run(d, {"v", "sprites.stb", "sprites.html", "textures"}), "0 |");
    ASSERT_GT(screenshot(d, "sprites.html").width, 0);
    write_file(README_PICTURE, read_file(d.file("shot.png")));
}
