// The page of sprtool v in headless Chromium: the screenshot's pixels and the browser's DOM; the
// sample table's picture for the README is made here too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "png_image.h"
#include "sprtool_run.h"

static const char kBrowser[] = "/usr/bin/chromium";
static const Rgb kGreen = {0, 160, 0};
constexpr int kScale = 8;  // a 64 x 64 texture is drawn 8 times larger

static bool near(Rgb a, Rgb b) {
    return std::abs(a.r - b.r) <= 12 && std::abs(a.g - b.g) <= 12 && std::abs(a.b - b.b) <= 12;
}

struct Browser : testing::Test {
    TempDir d;

    void SetUp() override {
        if (file_exists(kBrowser)) return;
        if (std::getenv("CI")) FAIL() << kBrowser << " is missing (scripts/test.sh installs it)";
        GTEST_SKIP() << kBrowser << " is not installed";
    }

    void draw(const std::string& table, const std::string& texture, const Pixels& image) {
        write_file(d.file("t.stb"), table);
        std::filesystem::create_directory(d.file("tex"));
        write_file(d.file("tex/" + texture + ".png"), png_file_bytes(image));
        ASSERT_EQ(run(d, {"v", "t.stb", "page.html", "tex"}), "0 |");
    }

    // Runs the browser on the page with one more option; its standard output.
    std::string browse(const std::string& page, const std::string& option) {
        ProcessResult r =
            run_process({kBrowser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                         "--no-first-run", "--disable-background-networking", "--disable-sync",
                         "--disable-component-update", "--user-data-dir=" + d.file("profile"),
                         "--hide-scrollbars", "--force-device-scale-factor=1",
                         "--window-size=1200,1800", option, "file://" + d.file(page)},
                        d.path);
        EXPECT_EQ(r.status, 0) << "the browser failed: " << r.err;
        return r.raw_out;
    }

    Pixels screenshot(const std::string& page) {
        browse(page, "--screenshot=" + d.file("shot.png"));
        const Pixels shot = read_png_file(d.file("shot.png"));
        EXPECT_GT(shot.width, 0) << "no screenshot";
        return shot;
    }
};

TEST_F(Browser, OverlapsAreFilledOverTheEmbeddedImage) {
    // a and b overlap; c stands alone on the image.
    draw(rec("a", "tex", 8, 8, 24, 24) + rec("b", "tex", 24, 24, 24, 24) +
             rec("c", "tex", 44, 4, 8, 8),
         "tex", solid_pixels(64, 64, kGreen));
    const Pixels shot = screenshot("page.html");
    int origin = 0;  // texel (0, 0) of the drawing is the first green pixel of the page
    while (origin < shot.width * shot.height &&
           !near(pixel_at(shot, origin % shot.width, origin / shot.width), kGreen))
        ++origin;
    ASSERT_LT(origin, shot.width * shot.height) << "the image is not on the screen";
    const int x0 = origin % shot.width, y0 = origin / shot.width;
    auto expect_texel = [&](int x, int y, Rgb colour, const char* where) {
        const Rgb got = pixel_at(shot, x0 + x * kScale + kScale / 2, y0 + y * kScale + kScale / 2);
        EXPECT_TRUE(near(got, colour))
            << where << ": " << int(got.r) << "," << int(got.g) << "," << int(got.b);
    };
    // Half of the warning colour #ff3000 over the image's green.
    expect_texel(12, 12, {128, 104, 0}, "inside a, where only a lies");
    expect_texel(47, 8, kGreen, "inside c, which overlaps nothing");
    expect_texel(30, 56, kGreen, "the image where no sprite lies");
}

// The page after the focus moves to sprite 7 (a script added at its end does what Tab would).
TEST_F(Browser, TheDomShowsTheSummaryCountsAndTheFocusedSprite) {
    draw(findings_table() + rec("<&>", "other", 7, 8, 9, 10, 0xBEEF), "chars",
         solid_pixels(32, 32, kGreen));
    std::string page = read_file(d.file("page.html"));
    page.insert(page.rfind("</body>"), "<script>document.getElementById('s7').focus()</script>");
    write_file(d.file("page.html"), page);
    const std::string dom = browse("page.html", "--dump-dom");
    EXPECT_NE(dom.find("<td>32 x 32</td><td class=\"n sprites\">5</td>"
                       "<td class=\"n overlapping\">2</td><td class=\"n bounds\">1</td>"
                       "<td class=\"n zero\">1</td>"),
              std::string::npos)
        << "the row of texture chars: 5 sprites, 2 overlapping, 1 out of bounds, 1 zero size\n"
        << dom.substr(0, 4000);
    EXPECT_NE(dom.find("<div id=\"info\" style=\"display: block;\">sprite  7\n"
                       "name    &lt;&amp;&gt;\ntexture other\nu       7\nv       8\n"
                       "width   9\nheight  10\nflags   0x0000beef</div>"),
              std::string::npos)
        << "the fields of sprite 7 are not shown:\n"
        << dom.substr(std::min(dom.find("<div id=\"info\""), dom.size()), 300);
}

// The README's picture: the sample table over textures made for it.
TEST_F(Browser, DrawsTheSampleTableForTheReadme) {
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
    ASSERT_EQ(run(d, {"wt", "sprites.stb", std::string(SAMPLES_DIR) + "/sprites.txt"}), "0 |");
    ASSERT_EQ(run(d, {"v", "sprites.stb", "sprites.html", "textures"}), "0 |");
    ASSERT_GT(screenshot("sprites.html").width, 0);
    write_file(README_PICTURE, read_file(d.file("shot.png")));
}
