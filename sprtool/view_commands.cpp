#include "view_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_output.h"
#include "file_names.h"
#include "file_replace.h"
#include "sprite_check.h"
#include "sprite_table.h"
#include "sprite_view.h"
#include "text_scan.h"
#include "texture_images.h"

namespace {

// The table and its images, loaded for a check. Every part that could not be
// used has had its message; `partial` names each for the summary line.
struct LoadedTable {
    std::vector<SpriteEntry> table;
    std::vector<TextureGroup> groups;
    std::vector<TextureImage> images;  // per group
    size_t images_found = 0;
    std::vector<std::string> partial;
};

bool load_table(const char* stb_name, LoadedTable* loaded) {
    FILE* stb = open_source(stb_name, "rb");
    if (!stb) {
        report_open_failure(stb_name, "read", errno);
        return false;
    }
    SpriteEntry e;
    while (read_sprite(stb, &e)) loaded->table.push_back(e);
    note_table_end(stb, stb_name, &loaded->partial);
    std::fclose(stb);
    return true;
}

// Finds and reads the image of every texture; without a folder, none.
bool load_images(const char* folder_name, bool keep_bytes, LoadedTable* loaded) {
    loaded->groups = group_textures(loaded->table);
    loaded->images.assign(loaded->groups.size(), TextureImage());
    if (!folder_name) return true;
    ImageFolder folder;
    std::string bad = open_image_folder(folder_name, &folder);
    if (!bad.empty()) {
        std::fprintf(stderr, "ERROR: could not read folder \"%s\": %s\n", folder_name, bad.c_str());
        return false;
    }
    size_t unusable = 0;
    for (size_t g = 0; g < loaded->groups.size(); ++g) {
        TextureGroup& group = loaded->groups[g];
        const std::string path = find_texture_image(folder, group.texture);
        if (path.empty()) continue;
        TextureImage& image = loaded->images[g];
        bad = read_texture_image(path, keep_bytes, &image);
        if (!bad.empty()) {
            std::fprintf(stderr,
                         "WARNING: could not use image \"%s\": %s; its sprites are not checked "
                         "against its size\n",
                         printable_text(path.data(), path.size()).c_str(), bad.c_str());
            ++unusable;
            continue;
        }
        group.size_known = true;
        group.width = image.width;
        group.height = image.height;
        ++loaded->images_found;
    }
    if (unusable > 0)
        loaded->partial.push_back(count_of(int(unusable), "image", "images") + " not used");
    return true;
}

// Both commands take `needed` words and an optional texture folder.
bool arguments_fit(int count, int needed, const char* missing, const char* usage) {
    if (count >= needed && count <= needed + 1) return true;
    std::fprintf(stderr, "ERROR: %s\nusage: sprtool %s\n",
                 count < needed ? missing : "too many arguments", usage);
    return false;
}

}  // namespace

int run_check_command(int count, char** args) {
    if (!arguments_fit(count, 1, "no STB file given", "k <stb_file> [<texture folder>]")) return 1;
    LoadedTable loaded;
    if (!load_table(args[0], &loaded)) return 1;
    if (!load_images(count > 1 ? args[1] : nullptr, false, &loaded)) return 1;
    const TableCheck check = check_sprites(loaded.table, &loaded.groups);
    for (const Finding& f : check.findings) {
        std::fprintf(stdout, "%s \"%s\": %s\n", std::to_string(f.sprite).c_str(),
                     printable_name(loaded.table[f.sprite]).c_str(),
                     finding_text(f, loaded.table, loaded.groups).c_str());
    }
    std::fprintf(
        stdout, "%s\n",
        check_summary(check, loaded.groups, loaded.table.size(), loaded.images_found).c_str());
    if (!finish_standard_output()) return 1;
    if (!loaded.partial.empty()) print_summary(loaded.partial);
    return check.findings.empty() && loaded.partial.empty() ? 0 : 2;
}

int run_view_command(int count, char** args) {
    if (!arguments_fit(count, 2, "no output file given",
                       "v <stb_file> <out.html> [<texture folder>]"))
        return 1;
    const char* stb_name = args[0];
    const char* out_name = args[1];
    if (has_suffix(out_name, ".stb")) {
        std::fprintf(stderr,
                     "ERROR: not writing to \"%s\": the output of v is a web page, and the name "
                     "is that of an STB file\n",
                     out_name);
        return 1;
    }
    if (same_file(stb_name, out_name)) {
        std::fprintf(stderr,
                     "ERROR: could not open file \"%s\" for write: it is the STB file being "
                     "read\n",
                     out_name);
        return 1;
    }
    LoadedTable loaded;
    if (!load_table(stb_name, &loaded)) return 1;
    if (!load_images(count > 2 ? args[2] : nullptr, true, &loaded)) return 1;
    const TableCheck check = check_sprites(loaded.table, &loaded.groups);
    FileReplacement out;
    if (!begin_output(out_name, &out)) return 1;
    ViewPage page{stb_name, &loaded.table,  &loaded.groups,
                  &check,   &loaded.images, loaded.images_found};
    write_view_page(out.stream, page);
    if (!commit_output(out_name, &out)) return 1;
    if (loaded.partial.empty()) return 0;
    print_summary(loaded.partial);
    return 2;
}
