// Runs qartool's list and extract commands, in process, on an arbitrary
// archive. The work happens in a scratch directory `work` that holds a
// symbolic link to a sentinel file beside it; the archive lies beside it
// too, also reachable through a link in `work`. Whatever the archive holds,
// afterwards the sentinel, the archive and the directory around `work` must
// be exactly as before, and `work` may hold nothing but regular files (a
// link replaced by one, or left as it was).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "fuzz_support.h"

namespace {

struct Layout {
    std::string base;  // holds sentinel, input.qar and work/
    std::string work;  // the current directory during the extract
    std::string archive;
};

const Layout& layout() {
    static Layout l;
    if (l.base.empty()) {
        l.base = fuzz_scratch_dir();
        l.work = l.base + "/work";
        l.archive = l.base + "/input.qar";
        fuzz_write_file(l.base + "/sentinel", "keep me\n");
        fuzz_silence_stdout();
    }
    return l;
}

// Readies `work`: empty but for links that a hostile record name could try
// to write through, one to the sentinel and one to the archive being read.
void prepare_work_dir(const Layout& l) {
    fuzz_empty_directory(l.work);
    rmdir(l.work.c_str());
    if (mkdir(l.work.c_str(), 0700) != 0) fuzz_fail("cannot make the work directory");
    if (symlink("../sentinel", (l.work + "/link").c_str()) != 0 ||
        symlink("../input.qar", (l.work + "/qar").c_str()) != 0)
        fuzz_fail("cannot make the links");
}

void check_work_dir(const Layout& l) {
    for (const auto& item : fuzz_snapshot(l.work)) {
        bool is_file = item.second.compare(0, 5, "file:") == 0;
        bool is_our_link = (item.first == "link" && item.second == "link:../sentinel") ||
                           (item.first == "qar" && item.second == "link:../input.qar");
        if (!is_file && !is_our_link) {
            fprintf(stderr, "unexpected entry in the work directory: %s\n", item.first.c_str());
            fuzz_fail("extract made something other than a plain file");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Layout& l = layout();
    fuzz_write_file(l.archive, data, size);
    prepare_work_dir(l);
    std::map<std::string, std::string> around = fuzz_snapshot(l.base);

    CommandLine line{};
    line.command = 'x';
    line.archive = l.archive.c_str();
    line.files = nullptr;
    line.file_count = 0;
    // Take the archive's own key so that the key check lets the walk run.
    if (size >= 24)
        line.key = uint32_t(data[20]) | uint32_t(data[21]) << 8 | uint32_t(data[22]) << 16 |
                   uint32_t(data[23]) << 24;

    if (chdir(l.work.c_str()) != 0) fuzz_fail("cannot enter the work directory");
    // The listing prints every name, size and time the archive holds.
    int status = command_list(line);
    if (status != 0 && status != 1) fuzz_fail("list returned an unknown status");
    status = command_extract(line);
    if (chdir(l.base.c_str()) != 0) fuzz_fail("cannot leave the work directory");
    fflush(stdout);
    if (status != 0 && status != 1) fuzz_fail("extract returned an unknown status");

    std::map<std::string, std::string> after = fuzz_snapshot(l.base);
    // `work` is a directory in both snapshots; its content is checked apart.
    fuzz_expect_same(around, after, "extract changed something outside its directory");
    check_work_dir(l);
    return 0;
}
