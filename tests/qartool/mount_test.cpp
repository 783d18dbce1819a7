// qartool m, end to end: the built program mounts archives in scratch folders
// through FUSE, and the tests read the folder as any program would. They need
// a usable /dev/fuse and fusermount3 (CI runs as root); elsewhere they skip
// and say why. Every mount is undone by a guard, also when a test fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "qar_bytes.h"
#include "run_qartool.h"
#include "test_support.h"

namespace {

const char* fuse_missing() {
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return "/dev/fuse cannot be opened here (no FUSE, or no permission to use it)";
    close(fd);
    if (access("/usr/bin/fusermount3", X_OK) != 0 && access("/bin/fusermount3", X_OK) != 0)
        return "fusermount3 is missing (Debian package fuse3)";
    return nullptr;
}

#define SKIP_WITHOUT_FUSE()                                  \
    do {                                                     \
        if (const char* why = fuse_missing()) GTEST_SKIP() << why; \
    } while (0)

// 1 when something is mounted at the folder (also a mount whose program is
// gone, which answers nothing).
bool is_mount_point(const std::string& folder) {
    struct stat here, parent;
    if (stat(folder.c_str(), &here) != 0) return errno == ENOTCONN;
    return stat((folder + "/..").c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

// fusermount3's exit status.
int fusermount(const std::string& folder, const char* how) {
    return run_process({"/bin/sh", "-c", std::string("fusermount3 ") + how + " -- \"$0\"", folder},
                       "/")
        .status;
}

// A foreground qartool m. The destructor ends it and undoes the mount,
// whatever the test did before.
struct Mount {
    std::string folder;
    RunningProcess* process = nullptr;
    ProcessResult result{-1, "", "", "", ""};  // once ended

    ~Mount() { end(); }

    // Unmounts as a user does and waits for the program, which then ends by
    // itself; when the unmount fails, the program is told to terminate.
    void end() {
        if (process) {
            if (fusermount(folder, "-u") != 0) terminate_process(process);
            result = finish_process(process);
            process = nullptr;
        }
        if (is_mount_point(folder)) fusermount(folder, "-u -z");
    }
};

// Makes the folder dir/mnt, starts qartool with the arguments (ending in
// "m game.qar mnt") in dir and waits until it says the folder is mounted;
// fails the test with its output when it ends instead.
void start_mount(Mount* mount, const TempDir& dir, std::vector<std::string> args) {
    mount->folder = dir.file("mnt");
    std::filesystem::create_directory(mount->folder);
    args.insert(args.begin(), QARTOOL_PATH);
    mount->process = start_process(args, dir.path);
    const std::string line = read_output_line(mount->process);
    if (line.find("mounted at") != std::string::npos) return;
    mount->result = finish_process(mount->process);
    mount->process = nullptr;
    FAIL() << "not mounted; status " << mount->result.status << ", out: " << line
           << mount->result.out << ", err: " << mount->result.err;
}

// A file of the given size that compresses when text is true.
std::string sample(size_t size, unsigned seed, bool text) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = text ? char('a' + (i / 7 + seed) % 5) : char(x >> 24);
    }
    return s;
}

// An archive made by qartool a from files of several sizes and times, in
// dir/src; returns their names.
std::vector<std::string> make_archive(const TempDir& dir, const std::vector<std::string>& key) {
    const std::vector<std::pair<std::string, size_t>> files = {
        {"one.txt", 1}, {"text.txt", 70000}, {"noise.bin", 300000}, {"small.bin", 513}};
    std::filesystem::create_directory(dir.file("src"));
    std::vector<std::string> args = key;
    args.push_back("a");
    args.push_back("../game.qar");
    std::vector<std::string> names;
    unsigned seed = 1;
    for (const auto& f : files) {
        write_file(dir.file("src/" + f.first), sample(f.second, seed, f.first.back() == 't'));
        set_write_time(dir.file("src/" + f.first), 1300000000 + int64_t(seed) * 86461);
        args.push_back(f.first);
        names.push_back(f.first);
        ++seed;
    }
    const ProcessResult made = qartool(dir.file("src"), args);
    EXPECT_EQ(0, made.status) << made.err;
    return names;
}

// Every file of the folder against qartool x of the same archive.
void expect_same_as_extract(const TempDir& dir, const std::string& folder,
                            const std::vector<std::string>& key) {
    std::vector<std::string> args = key;
    for (const char* a : {"-o", "x", "x", "game.qar"}) args.push_back(a);
    const ProcessResult extracted = qartool(dir.path, args);
    ASSERT_EQ(0, extracted.status) << extracted.err;
    const std::string names = list_directory(dir.file("x"));
    ASSERT_EQ(names, list_directory(folder)) << "the folder lists other names than x writes";
    size_t start = 0;
    for (size_t end; (end = names.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string name = names.substr(start, end - start);
        const std::string mounted = folder + "/" + name;
        EXPECT_EQ(read_file(dir.file("x/" + name)), read_file(mounted)) << name << ": bytes";
        struct stat st;
        ASSERT_EQ(0, stat(mounted.c_str(), &st)) << name;
        EXPECT_EQ(read_file(dir.file("x/" + name)).size(), size_t(st.st_size)) << name << ": size";
        EXPECT_EQ(write_time(dir.file("x/" + name)), write_time(mounted)) << name << ": time";
        EXPECT_EQ(0444, permissions(mounted)) << name << ": mode";
    }
}

// open and read through the system, for the error number.
int read_errno(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return errno;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    const int error = n < 0 ? errno : 0;
    close(fd);
    return error;
}

TEST(Mount, EveryFileMatchesWhatExtractWrites) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    make_archive(dir, {});
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    expect_same_as_extract(dir, dir.file("mnt"), {});
}

TEST(Mount, AMaskedArchiveMountsWithItsPassword) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    make_archive(dir, {"-p", "secret"});
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"-p", "secret", "m", "game.qar", "mnt"}));
    expect_same_as_extract(dir, dir.file("mnt"), {"-p", "secret"});
}

// Two good records, one whose stream does not decode, three whose names
// could reach outside the folder or drive a terminal, and a deleted one.
std::string damaged_archive() {
    const uint32_t lzo1x_of_100 = (100u << 8) | 2;
    return raw_archive(0,
                       {{"good.txt", 3632, 0, 4, 0, 0},
                        {"broken.txt", 3636, 1, 6, 0, lzo1x_of_100},
                        {"after.txt", 3642, 2, 5, 0, 0},
                        {"../up", 3632, 3, 4, 0, 0},
                        {"a/b", 3632, 4, 4, 0, 0},
                        {"ring\a", 3632, 5, 4, 0, 0},
                        {"gone.txt", 3632, 6, 4, 0, 1}},
                       "goodzzzzzzafter");
}

// Mounts the damaged archive, reads the damaged record twice, and returns
// the program's standard error once it has been unmounted.
TEST(Mount, ADamagedRecordFailsWithEioAndTheOthersStayReadable) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    write_file(dir.file("game.qar"), damaged_archive());
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    EXPECT_EQ(EIO, read_errno(dir.file("mnt/broken.txt")));
    EXPECT_EQ(EIO, read_errno(dir.file("mnt/broken.txt"))) << "the second read";
    EXPECT_EQ("good", read_file(dir.file("mnt/good.txt")));
    EXPECT_EQ("after", read_file(dir.file("mnt/after.txt")));
    mount.end();
    EXPECT_EQ(0, mount.result.status);
    const std::string& err = mount.result.err;
    const std::string report = "ERROR: could not read \"broken.txt\" from qar \"game.qar\"\n";
    ASSERT_NE(std::string::npos, err.find(report)) << err;
    EXPECT_EQ(err.find(report), err.rfind(report)) << "reported more than once: " << err;
}

TEST(Mount, HostileNamesAndDeletedRecordsAreLeftOut) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    write_file(dir.file("game.qar"), damaged_archive());
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    EXPECT_EQ("after.txt\nbroken.txt\ngood.txt\n", list_directory(dir.file("mnt")));
    EXPECT_FALSE(file_exists(dir.file("up"))) << "a name reached outside the folder";
    mount.end();
    EXPECT_EQ(
        "qartool: record 3 \"../up\" is not in the folder: its name holds '/'\n"
        "qartool: record 4 \"a/b\" is not in the folder: its name holds '/'\n"
        "qartool: record 5 \"ring?\" is not in the folder: its name holds control bytes\n",
        mount.result.err);
}

TEST(Mount, ParallelReadersAllGetTheRecordsBytes) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    std::filesystem::create_directory(dir.file("src"));
    std::vector<std::string> args = {"a", "../game.qar"};
    for (int i = 0; i < 24; ++i) {
        const std::string name = "f" + std::to_string(i) + ".dat";
        write_file(dir.file("src/" + name), sample(20000 + size_t(i) * 997, unsigned(i), i % 2));
        args.push_back(name);
    }
    ASSERT_EQ(0, qartool(dir.file("src"), args).status);
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    // Each reader walks the files from another starting point, so that
    // readers meet on one record as well as on different ones.
    std::vector<std::string> wrong[6];
    std::vector<std::thread> readers;
    for (int r = 0; r < 6; ++r) {
        readers.emplace_back([&, r] {
            for (int k = 0; k < 24; ++k) {
                const std::string name = "f" + std::to_string((k + r * 4) % 24) + ".dat";
                if (read_file(dir.file("mnt/" + name)) != read_file(dir.file("src/" + name)))
                    wrong[r].push_back(name);
            }
        });
    }
    for (std::thread& t : readers) t.join();
    for (int r = 0; r < 6; ++r) EXPECT_TRUE(wrong[r].empty()) << "reader " << r << " got wrong bytes";
}

TEST(Mount, SigtermUnmountsAndLeavesTheFolderEmpty) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    make_archive(dir, {});
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    ASSERT_NE("", list_directory(dir.file("mnt")));
    terminate_process(mount.process);
    mount.result = finish_process(mount.process);  // returns once the program is gone
    mount.process = nullptr;
    EXPECT_EQ(0, mount.result.status) << mount.result.err;
    EXPECT_FALSE(is_mount_point(dir.file("mnt"))) << "still mounted";
    EXPECT_EQ("", list_directory(dir.file("mnt")));
}

TEST(Mount, DetachedItSaysHowToUnmountAndServesInTheBackground) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    make_archive(dir, {});
    std::filesystem::create_directory(dir.file("mnt"));
    Mount guard;  // unmounts should the test fail half way
    guard.folder = dir.file("mnt");
    const ProcessResult r = qartool(dir.path, {"-d", "m", "game.qar", "mnt"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("qar \"game.qar\" mounted at \"mnt\" in the background; unmount with: "
              "fusermount3 -u \"mnt\"\n",
              r.out);
    EXPECT_EQ(read_file(dir.file("src/text.txt")), read_file(dir.file("mnt/text.txt")));
    fusermount(dir.file("mnt"), "-u");
    EXPECT_FALSE(is_mount_point(dir.file("mnt")));
}

TEST(Mount, AChangedArchiveIsNoticedAndTheFolderStaysAsMounted) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    make_archive(dir, {});
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    const std::string before = list_directory(dir.file("mnt"));
    write_file(dir.file("src/late.txt"), "late");
    ASSERT_EQ(0, qartool(dir.file("src"), {"a", "../game.qar", "late.txt"}).status);
    EXPECT_EQ(read_file(dir.file("src/one.txt")), read_file(dir.file("mnt/one.txt")));
    EXPECT_EQ(before, list_directory(dir.file("mnt")));
    mount.end();
    EXPECT_NE(std::string::npos,
              mount.result.err.find("qartool: qar \"game.qar\" changed size since it was mounted"))
        << mount.result.err;
}

// flock(1) holds the lock as a writer does while the first read decodes.
TEST(Mount, AWritersLockIsNoticed) {
    SKIP_WITHOUT_FUSE();
    if (access("/usr/bin/flock", X_OK) != 0) GTEST_SKIP() << "flock is missing (util-linux)";
    TempDir dir;
    make_archive(dir, {});
    Mount mount;
    ASSERT_NO_FATAL_FAILURE(start_mount(&mount, dir, {"m", "game.qar", "mnt"}));
    const ProcessResult held =
        run_process({"/usr/bin/flock", "game.qar", "cat", "mnt/one.txt"}, dir.path);
    EXPECT_EQ(read_file(dir.file("src/one.txt")), held.out) << held.err;
    mount.end();
    EXPECT_NE(std::string::npos,
              mount.result.err.find("qartool: another process is writing qar \"game.qar\""))
        << mount.result.err;
}

// A mount that cannot start: status 1, the reason, and the folder as it was.
// Run with -d, so that a mount that starts after all fails the test at once
// instead of holding it; the guard undoes such a mount.
void expect_mount_refused(const TempDir& dir, std::vector<std::string> args,
                          const std::string& message) {
    Mount guard;
    guard.folder = dir.file("mnt");
    const std::string before = file_exists(dir.file("mnt")) ? list_directory(dir.file("mnt")) : "";
    if (std::find(args.begin(), args.end(), "-d") == args.end()) args.insert(args.begin(), "-d");
    const ProcessResult r = qartool(dir.path, args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(message, r.err);
    EXPECT_FALSE(is_mount_point(dir.file("mnt"))) << "mounted all the same";
    guard.end();
    if (file_exists(dir.file("mnt"))) {
        EXPECT_EQ(before, list_directory(dir.file("mnt"))) << "the folder changed";
    }
}

TEST(Mount, RefusedWithoutAnEmptyFolderOrTheRightKey) {
    SKIP_WITHOUT_FUSE();
    TempDir dir;
    make_archive(dir, {"-p", "secret"});
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case missing_folder = {{"-p", "secret", "m", "game.qar", "mnt"},
                                 "ERROR: cannot mount at \"mnt\": no such folder\n"};
    expect_mount_refused(dir, missing_folder.args, missing_folder.message);
    std::filesystem::create_directory(dir.file("mnt"));
    const Case cases[] = {
        {{"m", "game.qar", "mnt"},
         "ERROR: key does not match the qar file\n"
         "ERROR: the qar file is protected: give its password with -p\n"},
        {{"-p", "wrong", "m", "game.qar", "mnt"},
         "ERROR: key does not match the qar file\nERROR: wrong password or key\n"},
        {{"-p", "secret", "m", "game.qar", "game.qar"},
         "ERROR: cannot mount at \"game.qar\": not a folder\n"},
        {{"-p", "secret", "m", "game.qar"},
         "ERROR: the m command takes a qar and a folder: m <qar> <folder>\n"},
        {{"-d", "l", "game.qar"}, "ERROR: -d goes only with the m command\n"},
    };
    for (const Case& c : cases) expect_mount_refused(dir, c.args, c.message);
    write_file(dir.file("mnt/kept.txt"), "mine");
    expect_mount_refused(dir, {"-p", "secret", "m", "game.qar", "mnt"},
                         "ERROR: cannot mount at \"mnt\": the folder is not empty\n");
    EXPECT_EQ("mine", read_file(dir.file("mnt/kept.txt")));
}

// Without /dev/fuse (a private mount namespace hides it behind an empty /dev).
TEST(Mount, RefusedPlainlyWhereThereIsNoFuse) {
    SKIP_WITHOUT_FUSE();
    if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "unshare is missing (util-linux)";
    TempDir dir;
    make_archive(dir, {});
    std::filesystem::create_directory(dir.file("mnt"));
    const ProcessResult r = run_process(
        {"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs none /dev && exec \"$0\" m game.qar mnt",
         QARTOOL_PATH},
        dir.path);
    if (r.status != 1 && r.err.find("unshare") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << r.err;
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("ERROR: cannot mount: this machine has no FUSE (/dev/fuse is missing); install "
              "fuse3 and load the fuse module\n",
              r.err);
}

}  // namespace
