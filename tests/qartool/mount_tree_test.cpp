// What a mounted archive's folder holds, from snapshots made up here.
#include <gtest/gtest.h>

#include <cstring>

#include "mount_tree.h"

namespace {

qar_entry entry(const char* name, int32_t index, bool deleted = false) {
    qar_entry e;
    memset(&e, 0, sizeof e);
    strncpy(e.name, name, QAR_NAME_SIZE);
    e.index = index;
    e.size = uint32_t(10 + index);
    e.mtime = 1400000000 + index;
    e.deleted = deleted ? 1 : 0;
    return e;
}

std::string names_of(const MountTree& tree) {
    std::string out;
    for (const MountFile& f : tree.files) out += f.name + ";";
    return out;
}

// The snapshot is sorted by name; the folder lists by index. Deleted records are left
// out without a notice.
TEST(MountTree, FilesComeInIndexOrderNotSnapshotOrder) {
    const MountTree tree = build_mount_tree(
        {entry("a", 2), entry("b", 0), entry("c", 1), entry("gone", 3, true)});
    EXPECT_EQ("b;c;a;", names_of(tree));
    EXPECT_EQ(1u, tree.files[0].position) << "a file must read from its own snapshot position";
    EXPECT_EQ(10u, tree.files[0].size);
    EXPECT_EQ(1400000000, tree.files[0].mtime);
    EXPECT_TRUE(tree.left_out.empty()) << "a deleted record was reported";
}

TEST(MountTree, NamesThatCannotBeFileNamesAreLeftOutWithTheirReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/b", "its name holds '/'"},
        {"/etc", "its name holds '/'"},
        {".", "its name is \".\" or \"..\""},
        {"..", "its name is \".\" or \"..\""},
        {"bell\a", "its name holds control bytes"},
        {"line\nfeed", "its name holds control bytes"},
        {"del\x7f", "its name holds control bytes"},
        {"", "its name is empty"},
    };
    for (const auto& [name, why] : cases) {
        const MountTree tree = build_mount_tree({entry(name, 4), entry("ok", 5)});
        EXPECT_EQ("ok;", names_of(tree)) << "name shown: \"" << name << "\"";
        ASSERT_EQ(1u, tree.left_out.size()) << name;
        EXPECT_STREQ(why, tree.left_out[0].why) << name;
        EXPECT_EQ(4, tree.left_out[0].index);
        EXPECT_EQ(nullptr, mount_tree_find(tree, name)) << "a left-out name is found";
    }
}

TEST(MountTree, ALaterRecordOfTheSameNameIsTheOneShown) {
    const MountTree tree = build_mount_tree({entry("x", 3), entry("x", 1), entry("y", 2)});
    EXPECT_EQ("y;x;", names_of(tree)) << "the name belongs at the later record's place";
    const MountFile* shown = mount_tree_find(tree, "x");
    ASSERT_NE(nullptr, shown);
    EXPECT_EQ(3, shown->index);
    ASSERT_EQ(1u, tree.left_out.size());
    EXPECT_EQ(1, tree.left_out[0].index);
}

}  // namespace
