// qartool's list and extract, in process, on an arbitrary archive, run in `work`, which
// holds links to a sentinel file and to the archive beside it. Nothing beside `work` may
// change, and `work` may hold only plain files and those links (a link replaced is fine).
#include <unistd.h>

#include "commands.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& base = fuzz_scratch_dir();
    const std::string work = base + "/work", archive = base + "/input.qar";
    fuzz_write_file(base + "/sentinel", "keep me\n", 8);
    fuzz_write_file(archive, data, size);
    std::filesystem::remove_all(work);
    std::filesystem::create_directory(work);
    std::filesystem::create_symlink("../sentinel", work + "/link");
    std::filesystem::create_symlink("../input.qar", work + "/qar");
    const auto before = fuzz_snapshot(base);
    const auto links = fuzz_snapshot(work);

    uint32_t key = 0;  // the archive's own, so that the key check lets the commands run
    for (size_t i = 0; i < 4 && size >= 24; ++i) key |= uint32_t(data[20 + i]) << (8 * i);
    CommandLine line{};
    line.key = key;
    line.command = 'x';
    line.archive = archive.c_str();
    line.workers = -1;
    if (chdir(work.c_str()) != 0) fuzz_fail("cannot enter the work directory");
    int listed = command_list(line), extracted = command_extract(line);
    if (chdir(base.c_str()) != 0) fuzz_fail("cannot leave the work directory");
    if (listed > 2 || extracted > 2)
        fuzz_fail("a command returned a status other than 0, 1 or 2");
    if (fuzz_snapshot(base) != before) fuzz_fail("extract changed something outside its directory");
    for (const auto& [name, what] : fuzz_snapshot(work))
        if (what.compare(0, 5, "file:") != 0 && (!links.count(name) || links.at(name) != what))
            fuzz_fail("extract made something other than a plain file");
    return 0;
}
