// End-to-end: extraction writes only plain names in the current directory,
// never through links, never over the archive it reads, and a failed record
// leaves the file that was there.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "cli_support.h"

namespace {

// root/ holds the work folder and a file that must never change; the
// archive lies in the work folder, where qartool runs.
struct Scene {
    TempDir root;
    std::string work;
    Scene() {
        work = root.file("work");
        mkdir(work.c_str(), 0755);
        write_file(root.file("victim"), "keep me");
    }
    std::string in_work(const std::string& name) const { return work + "/" + name; }
};

// Records stored uncompressed with key 0, each holding its data at its offset.
std::string archive_of(const std::vector<std::pair<std::string, std::string>>& records,
                       uint32_t time) {
    std::vector<RawEntry> entries;
    std::string data;
    for (size_t i = 0; i < records.size(); ++i) {
        entries.push_back({records[i].first, uint32_t(3632 + data.size()), int32_t(i),
                           uint32_t(records[i].second.size()), time, 0});
        data += records[i].second;
    }
    return craft_archive(0, entries, data);
}

TEST(QartoolExtract, NamesThatAreNotPlainFileNamesAreRefused) {
    Scene s;
    write_file(s.in_work("game.qar"), archive_of({{"../evil", "EVIL"},
                                                   {"..", "DOTS"},
                                                   {"a\\b", "BACK"},
                                                   {"sub/x", "SLASH"},
                                                   {"bell\a", "BELL"},
                                                   {"good.txt", "GOOD"},
                                                   {"/victim", "ROOT"}},
                                                  1408098600u));
    ProcessResult r = qartool(s.work, {"x", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("good.txt\n", r.out);
    EXPECT_EQ("ERROR: not extracting \"..\": not a plain file name\n"
              "ERROR: not extracting \"../evil\": not a plain file name\n"
              "ERROR: not extracting \"/victim\": not a plain file name\n"
              "ERROR: not extracting \"a\\b\": not a plain file name\n"
              "ERROR: not extracting \"bell?\": not a plain file name\n"
              "ERROR: not extracting \"sub/x\": not a plain file name\n",
              r.err);
    EXPECT_EQ("GOOD", read_file(s.in_work("good.txt")));
    EXPECT_EQ(1405420200, mtime_of(s.in_work("good.txt")));
    EXPECT_EQ("keep me", read_file(s.root.file("victim")));
    EXPECT_FALSE(file_exists(s.root.file("evil")));
    EXPECT_FALSE(file_exists(s.in_work("sub")));
}

TEST(QartoolExtract, LinksAreReplacedAndTheArchiveIsNeverOverwritten) {
    Scene s;
    std::string archive =
        archive_of({{"game.qar", "TINY"}, {"alias", "TINY"}, {"out.txt", "NEW"}}, 0);
    write_file(s.in_work("game.qar"), archive);
    ASSERT_EQ(0, symlink("game.qar", s.in_work("alias").c_str()));
    ASSERT_EQ(0, symlink("../victim", s.in_work("out.txt").c_str()));
    ProcessResult r = qartool(s.work, {"x", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("out.txt\n", r.out);
    EXPECT_EQ("ERROR: not extracting \"alias\" over the qar file being read\n"
              "ERROR: not extracting \"game.qar\" over the qar file being read\n",
              r.err);
    EXPECT_EQ(archive, read_file(s.in_work("game.qar")));
    EXPECT_EQ("keep me", read_file(s.root.file("victim")));
    struct stat st;
    ASSERT_EQ(0, lstat(s.in_work("out.txt").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ("NEW", read_file(s.in_work("out.txt")));
}

TEST(QartoolExtract, FailuresLeaveExistingFilesAndTheRestGoesOn) {
    Scene s;
    // "broken" holds a stream that does not decode; "dir" names a directory;
    // "stale" is overwritten and "new" has a time that cannot be converted.
    write_file(s.in_work("game.qar"),
               craft_archive(0,
                             {{"broken", 3632, 0, 4, 0, (100u << 8) | 2},
                              {"stale", 3636, 1, 5, 1408098600u, 0},
                              {"dir", 3636, 2, 5, 0, 0},
                              {"new", 3636, 3, 5, 0xFFFFFFFFu, 0}},
                             "\xff\xff\xff\xff" "fresh"));
    write_file(s.in_work("stale"), "old");
    write_file(s.in_work("broken"), "previous");
    mkdir(s.in_work("dir").c_str(), 0755);
    ProcessResult r = qartool(s.work, {"x-all", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("dir\nnew\nstale\n", r.out);
    EXPECT_EQ("ERROR: could not read \"broken\" from qar \"game.qar\"\n"
              "ERROR: could not write to file \"dir\"\n",
              r.err);
    EXPECT_EQ("fresh", read_file(s.in_work("stale")));
    EXPECT_EQ(1405420200, mtime_of(s.in_work("stale")));
    EXPECT_EQ("previous", read_file(s.in_work("broken")));
    EXPECT_GT(mtime_of(s.in_work("new")), 1500000000);  // the time of the write
    ProcessResult l = run_process({"/bin/ls", "-A"}, s.work);  // no temporary file left
    EXPECT_EQ("broken\ndir\ngame.qar\nnew\nstale\n", l.out);
}

}  // namespace
