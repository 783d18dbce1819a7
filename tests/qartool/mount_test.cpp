// qartool m, end to end, read as any program would. The tests need a usable /dev/fuse and
// fusermount3 (CI runs as root); elsewhere they skip and say why.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "run_qartool.h"

namespace {

const char* fuse_missing() {
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return "/dev/fuse cannot be opened here (no FUSE, or no permission to use it)";
    close(fd);
    if (access("/usr/bin/fusermount3", X_OK) != 0 && access("/bin/fusermount3", X_OK) != 0)
        return "fusermount3 is missing (Debian package fuse3)";
    return nullptr;
}

// Whether something is mounted at the folder (also a mount whose program is gone, which
// answers nothing).
bool is_mount_point(const std::string& folder) {
    struct stat here, parent;
    if (stat(folder.c_str(), &here) != 0) return errno == ENOTCONN;
    return stat((folder + "/..").c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

int fusermount(const std::string& folder, const char* how) {
    return run_process({"/bin/sh", "-c", std::string("fusermount3 ") + how + " -- \"$0\"", folder},
                       "/").status;
}

int read_errno(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return errno;
    char buffer[4096];
    const int error = read(fd, buffer, sizeof buffer) < 0 ? errno : 0;
    close(fd);
    return error;
}

// The archives every test mounts a copy of, made once in src/: game.qar and masked.qar (with
// the password "secret") of files of several sizes and times; many.qar of 24 files;
// damaged.qar with good records, one whose stream does not decode, a deleted one, one
// whose name a later record has too, and ones whose names cannot be file names.
TempDir shared;
bool shared_made = false;

void make_shared_archives() {
    shared_made = true;
    const std::string src = shared.file("src");
    const std::vector<std::string> game = {"one.txt", "text.txt", "noise.bin", "small.bin"};
    const size_t sizes[] = {1, 70000, 300000, 513};
    std::vector<std::string> many;
    for (unsigned i = 0; i < 4; ++i)
        write_files(src, {{game[i], sample(sizes[i], i, game[i].back() == 't')}},
                    1300000000 + i * 86461);
    for (unsigned i = 0; i < 24; ++i) {
        many.push_back("f" + std::to_string(i) + ".dat");
        write_files(src, {{many.back(), sample(20000 + i * 997, i, i % 2)}}, 1300000000);
    }
    const std::pair<std::vector<std::string>, std::vector<std::string>> adds[] = {
        {{"a", "game.qar"}, game},
        {{"-p", "secret", "a", "masked.qar"}, game},
        {{"a", "many.qar"}, many}};
    for (const auto& [options, names] : adds) {
        std::vector<std::string> args = options;
        args.insert(args.end(), names.begin(), names.end());
        EXPECT_EQ(0, qartool(src, args).status) << shown(args);
    }
    write_file(src + "/damaged.qar",
               raw_archive(0, {{"good.txt", 3632, 0, 4, 0, 0},
                               {"broken.txt", 3636, 1, 6, 0, (100u << 8) | 2},
                               {"twice.txt", 3642, 8, 5, 0, 0}, {"after.txt", 3642, 2, 5, 0, 0},
                               {"../up", 3632, 3, 4, 0, 0}, {"a/b", 3632, 4, 4, 0, 0},
                               {"ring\a", 3632, 5, 4, 0, 0}, {"gone.txt", 3632, 6, 4, 0, 1},
                               {"twice.txt", 3632, 7, 4, 0, 0}, {"..", 3632, 9, 4, 0, 0},
                               {"del\x7f", 3632, 10, 4, 0, 0}}, "goodzzzzzzafter"));
}

std::string source(const std::string& name) { return read_file(shared.file("src/" + name)); }

// Each test has a folder of its own with mnt/ and a copy of the archive it mounts as game.qar.
// The destructor undoes the mount, whatever the test did before.
struct Mount : ::testing::Test {
    TempDir dir;
    std::string mnt = dir.file("mnt");
    RunningProcess* process = nullptr;
    ProcessResult result{-1, "", "", "", ""};  // once ended

    void SetUp() override {
        if (const char* why = fuse_missing()) GTEST_SKIP() << why;
        if (!shared_made) make_shared_archives();
        std::filesystem::create_directory(mnt);
    }
    void TearDown() override { end(); }

    void use(const std::string& archive) { write_file(dir.file("game.qar"), source(archive)); }

    // Mounts a copy of the archive at mnt (qartool [options] m game.qar mnt) and waits until
    // qartool says so; fails the test with its output when it ends instead.
    void start(const std::string& archive, std::vector<std::string> options = {}) {
        use(archive);
        options.insert(options.begin(), QARTOOL_PATH);
        options.insert(options.end(), {"m", "game.qar", "mnt"});
        process = start_process(options, dir.path);
        const std::string line = read_output_line(process);
        if (line.find("mounted at") != std::string::npos) return;
        end();
        FAIL() << "not mounted; status " << result.status << ", out: " << line << result.out
               << ", err: " << result.err;
    }

    // Unmounts as a user does and waits for the program, which then ends by itself; when
    // the unmount fails, the program is told to terminate.
    void end() {
        if (process) {
            if (fusermount(mnt, "-u") != 0) terminate_process(process);
            result = finish_process(process);
            process = nullptr;
        }
        if (is_mount_point(mnt)) fusermount(mnt, "-u -z");
    }
};

// Every file of the folder against qartool x of the same archive.
TEST_F(Mount, EveryFileOfAMaskedArchiveMatchesWhatExtractWrites) {
    ASSERT_NO_FATAL_FAILURE(start("masked.qar", {"-p", "secret"}));
    const ProcessResult extracted = qartool(dir.path, {"-p", "secret", "-o", "x", "x", "game.qar"});
    ASSERT_EQ(0, extracted.status) << extracted.err;
    ASSERT_EQ(list_directory(dir.file("x")), list_directory(mnt)) << "the folder lists other names";
    for (const auto& [name, bytes] : directory_snapshot(dir.file("x"))) {
        EXPECT_EQ(bytes, read_file(mnt + "/" + name)) << name << ": bytes";
        EXPECT_EQ(bytes.size(), std::filesystem::file_size(mnt + "/" + name)) << name;
        EXPECT_EQ(write_time(dir.file("x/" + name)), write_time(mnt + "/" + name)) << name;
        EXPECT_EQ(0444, permissions(mnt + "/" + name)) << name << ": mode";
    }
}

TEST_F(Mount, ADamagedRecordFailsWithEioAndTheOthersStayReadable) {
    ASSERT_NO_FATAL_FAILURE(start("damaged.qar"));
    EXPECT_EQ(EIO, read_errno(mnt + "/broken.txt"));
    EXPECT_EQ(EIO, read_errno(mnt + "/broken.txt")) << "the second read";
    EXPECT_EQ("good", read_file(mnt + "/good.txt"));
    EXPECT_EQ("after", read_file(mnt + "/after.txt"));
    end();
    EXPECT_EQ(0, result.status);
    const std::string report = "ERROR: could not read \"broken.txt\" from qar \"game.qar\"\n";
    ASSERT_NE(std::string::npos, result.err.find(report)) << result.err;
    EXPECT_EQ(result.err.find(report), result.err.rfind(report)) << "reported twice: " << result.err;
}

TEST_F(Mount, NamesThatCannotBeFileNamesAreLeftOutWithTheirReason) {
    ASSERT_NO_FATAL_FAILURE(start("damaged.qar"));
    EXPECT_EQ("after.txt\nbroken.txt\ngood.txt\ntwice.txt\n", list_directory(mnt));
    EXPECT_FALSE(file_exists(dir.file("up"))) << "a name reached outside the folder";
    end();
    EXPECT_EQ(as_text(read_file(QARTOOL_GOLDEN "/mount_left_out.txt")), result.err)
        << "other records left out, or other reasons given";
}

// The archive lists its records by name; the folder lists them by index.
TEST_F(Mount, FilesComeInIndexOrderAndANameSharedShowsTheLaterRecord) {
    ASSERT_NO_FATAL_FAILURE(start("damaged.qar"));
    std::string order;
    for (const auto& file : std::filesystem::directory_iterator(mnt))
        order += file.path().filename().string() + " ";
    EXPECT_EQ("good.txt broken.txt after.txt twice.txt ", order) << "not in index order";
    EXPECT_EQ("after", read_file(mnt + "/twice.txt")) << "not the later record of the name";
}

// Each reader walks the files from another starting point, so that readers meet on one
// record as well as on different ones.
TEST_F(Mount, ParallelReadersAllGetTheRecordsBytes) {
    ASSERT_NO_FATAL_FAILURE(start("many.qar"));
    std::vector<std::string> wrong[6];
    std::vector<std::thread> readers;
    for (int r = 0; r < 6; ++r) {
        readers.emplace_back([&, r] {
            for (int k = 0; k < 24; ++k) {
                const std::string name = "f" + std::to_string((k + r * 4) % 24) + ".dat";
                if (read_file(mnt + "/" + name) != source(name)) wrong[r].push_back(name);
            }
        });
    }
    for (std::thread& t : readers) t.join();
    for (int r = 0; r < 6; ++r) EXPECT_TRUE(wrong[r].empty()) << "reader " << r << " got wrong bytes";
}

TEST_F(Mount, SigtermUnmountsAndLeavesTheFolderEmpty) {
    ASSERT_NO_FATAL_FAILURE(start("game.qar"));
    ASSERT_NE("", list_directory(mnt));
    terminate_process(process);
    result = finish_process(process);  // returns once the program is gone
    process = nullptr;
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_FALSE(is_mount_point(mnt)) << "still mounted";
    EXPECT_EQ("", list_directory(mnt));
}

TEST_F(Mount, DetachedItSaysHowToUnmountAndServesInTheBackground) {
    use("game.qar");
    expect_qartool(dir.path, {"-d", "m", "game.qar", "mnt"}, 0, "qar \"game.qar\" mounted at "
                   "\"mnt\" in the background; unmount with: fusermount3 -u \"mnt\"\n", "");
    EXPECT_EQ(source("text.txt"), read_file(mnt + "/text.txt"));
    EXPECT_EQ(0, fusermount(mnt, "-u"));
}

TEST_F(Mount, AChangedArchiveIsNoticedAndTheFolderStaysAsMounted) {
    ASSERT_NO_FATAL_FAILURE(start("game.qar"));
    const std::string before = list_directory(mnt);
    write_file(dir.file("late.txt"), "late");
    ASSERT_EQ(0, qartool(dir.path, {"a", "game.qar", "late.txt"}).status);
    EXPECT_EQ(source("one.txt"), read_file(mnt + "/one.txt"));
    EXPECT_EQ(before, list_directory(mnt));
    end();
    EXPECT_NE(std::string::npos,
              result.err.find("qartool: qar \"game.qar\" changed size since it was mounted"))
        << result.err;
}

// flock(1) holds the lock as a writer does while the first read decodes.
TEST_F(Mount, AWritersLockIsNoticed) {
    if (access("/usr/bin/flock", X_OK) != 0) GTEST_SKIP() << "flock is missing (util-linux)";
    ASSERT_NO_FATAL_FAILURE(start("game.qar"));
    const ProcessResult held = run_process({"/usr/bin/flock", "game.qar", "cat", "mnt/one.txt"},
                                           dir.path);
    EXPECT_EQ(source("one.txt"), held.out) << held.err;
    end();
    EXPECT_NE(std::string::npos,
              result.err.find("qartool: another process is writing qar \"game.qar\""))
        << result.err;
}

// A mount that cannot start: status 1, the reason, and the folder as it was. Run with -d,
// so that a mount that starts after all fails the test at once instead of holding it.
TEST_F(Mount, RefusedWithoutAnEmptyFolderOrTheRightKey) {
    use("masked.qar");
    const std::string key = "ERROR: key does not match the qar file\nERROR: ";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"m", "game.qar", "mnt"}, key + "the qar file is protected: give its password with -p\n"},
        {{"-p", "wrong", "m", "game.qar", "mnt"}, key + "wrong password or key\n"},
        {{"-p", "secret", "m", "game.qar", "game.qar"},
         "ERROR: cannot mount at \"game.qar\": not a folder\n"},
        {{"-p", "secret", "m", "game.qar"},
         "ERROR: the m command takes a qar and a folder: m <qar> <folder>\n"},
        {{"-p", "secret", "m", "game.qar", "none"}, "ERROR: cannot mount at \"none\": no such folder\n"},
        {{"-d", "l", "game.qar"}, "ERROR: -d goes only with the m command\n"},
        {{"-p", "secret", "m", "game.qar", "full"},
         "ERROR: cannot mount at \"full\": the folder is not empty\n"},
    };
    std::filesystem::create_directory(dir.file("full"));
    write_file(dir.file("full/kept.txt"), "mine");
    for (const auto& [args, message] : cases) {
        std::vector<std::string> detached = args;
        if (args[0] != "-d") detached.insert(detached.begin(), "-d");
        expect_qartool(dir.path, detached, 1, "", message);
        for (const char* folder : {"mnt", "full"}) {
            EXPECT_FALSE(is_mount_point(dir.file(folder))) << shown(args) << " mounted all the same";
            if (is_mount_point(dir.file(folder))) fusermount(dir.file(folder), "-u -z");
        }
        EXPECT_TRUE(list_directory(dir.file("full")) == "kept.txt\n" && list_directory(mnt) == "")
            << shown(args) << " changed a folder";
        EXPECT_FALSE(file_exists(dir.file("none"))) << shown(args) << " made a folder";
    }
}

// Without /dev/fuse (a private mount namespace hides it behind an empty /dev).
TEST_F(Mount, RefusedPlainlyWhereThereIsNoFuse) {
    if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "unshare is missing (util-linux)";
    use("game.qar");
    const ProcessResult r = run_process({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
        "mount -t tmpfs none /dev && exec \"$0\" m game.qar mnt", QARTOOL_PATH}, dir.path);
    if (r.status != 1 && r.err.find("unshare") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << r.err;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("ERROR: cannot mount: this machine has no FUSE (/dev/fuse is missing); install "
              "fuse3 and load the fuse module\n", r.err);
}

}  // namespace
