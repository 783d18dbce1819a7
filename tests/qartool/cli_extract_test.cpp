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

TEST(QartoolExtract, LinksAtTheDestinationAreReplacedNotFollowed) {
    Scene s;
    write_file(s.in_work("game.qar"), archive_of({{"out.txt", "NEW"}}, 1408098600u));
    ASSERT_EQ(0, symlink("../victim", s.in_work("out.txt").c_str()));
    ProcessResult r = qartool(s.work, {"x", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("out.txt\n", r.out);
    EXPECT_EQ("keep me", read_file(s.root.file("victim")));
    struct stat st;
    ASSERT_EQ(0, lstat(s.in_work("out.txt").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ("NEW", read_file(s.in_work("out.txt")));
}

TEST(QartoolExtract, NeverOverTheArchiveBeingRead) {
    Scene s;
    std::string archive = archive_of({{"game.qar", "TINY"}, {"alias", "TINY"}}, 0);
    write_file(s.in_work("game.qar"), archive);
    ASSERT_EQ(0, symlink("game.qar", s.in_work("alias").c_str()));
    ProcessResult r = qartool(s.work, {"x", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("ERROR: not extracting \"alias\" over the qar file being read\n"
              "ERROR: not extracting \"game.qar\" over the qar file being read\n",
              r.err);
    EXPECT_EQ(archive, read_file(s.in_work("game.qar")));
}

TEST(QartoolExtract, ExistingFilesAreOverwrittenAndUnreadableRecordsLeaveThem) {
    Scene s;
    // "broken" holds a stream that does not decode; "stale" is overwritten.
    std::string bytes = craft_archive(0,
                                      {{"broken", 3632, 0, 4, 0, (100u << 8) | 2},
                                       {"stale", 3636, 1, 10, 1408098600u, 0}},
                                      "\xff\xff\xff\xff" "fresh data");
    write_file(s.in_work("game.qar"), bytes);
    write_file(s.in_work("stale"), "old");
    write_file(s.in_work("broken"), "previous");
    ProcessResult r = qartool(s.work, {"x-all", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("stale\n", r.out);
    EXPECT_EQ("ERROR: could not read \"broken\" from qar \"game.qar\"\n", r.err);
    EXPECT_EQ("fresh data", read_file(s.in_work("stale")));
    EXPECT_EQ("previous", read_file(s.in_work("broken")));
}

TEST(QartoolExtract, APathThatIsADirectoryIsReportedAndTheRestGoesOn) {
    Scene s;
    write_file(s.in_work("game.qar"), archive_of({{"b", "B"}, {"a", "A"}}, 0xFFFFFFFFu));
    mkdir(s.in_work("a").c_str(), 0755);
    ProcessResult r = qartool(s.work, {"x", "game.qar"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("a\nb\n", r.out);
    EXPECT_EQ("ERROR: could not write to file \"a\"\n", r.err);
    EXPECT_EQ("B", read_file(s.in_work("b")));
    // A time that cannot be converted leaves the time of the write.
    EXPECT_GT(mtime_of(s.in_work("b")), 1500000000);
    // No temporary file is left behind.
    ProcessResult l = run_process({"/bin/ls", "-A"}, s.work);
    EXPECT_EQ("a\nb\ngame.qar\n", l.out);
}

TEST(QartoolExtract, PatternsSelectAndCaseMatters) {
    Scene s;
    write_file(s.in_work("game.qar"), archive_of({{"a.txt", "A"}, {"b.bin", "B"}}, 0));
    ProcessResult r = qartool(s.work, {"x", "game.qar", "*.TXT"});
    EXPECT_EQ("", r.out);
    EXPECT_FALSE(file_exists(s.in_work("a.txt")));
    r = qartool(s.work, {"x", "game.qar", "*.bin", "[a]*"});
    EXPECT_EQ("a.txt\nb.bin\n", r.out);
}

}  // namespace
