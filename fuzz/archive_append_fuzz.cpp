// Appends one record to an arbitrary file opened as an archive for writing.
// When the append is accepted, the file must afterwards open again, list
// the new record once more than before, and, provided it was sound before
// (or in one of the two states an interrupted append leaves), read every
// earlier record as before and be laid out exactly as the format requires.
// When the append is refused, the file must read exactly as before.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "archive_handle.h"
#include "archive_layout.h"
#include "fuzz_support.h"
#include "record_ops.h"

namespace {

const char NEW_NAME[] = "zz-appended.bin";

// name -> bytes of every record the archive lists whose name occurs once;
// "" for a record that cannot be read. Empty map and *opened 0 when the
// archive does not open.
std::map<std::string, std::string> read_all(const std::string& path, int* opened,
                                            int32_t* count_out) {
    std::map<std::string, std::string> records;
    *opened = 0;
    ArchiveHandle* archive = open_archive(path.c_str(), 0);
    if (!archive) return records;
    *opened = 1;
    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    *count_out = count;
    std::map<std::string, int> seen;
    for (int32_t i = 0; i < count; ++i) {
        char name[QAR_NAME_LENGTH + 1] = {};
        memcpy(name, entries[i].name, QAR_NAME_LENGTH);
        // Names compare without regard to case: fold them for the count.
        std::string folded = name;
        for (char& c : folded)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (seen[folded]++ > 0) continue;
        uint32_t size = 0;
        uint8_t* bytes = read_record_alloc(archive, name, &size);
        records[folded] = bytes ? std::string(reinterpret_cast<char*>(bytes), size) : "";
        free(bytes);
    }
    for (auto& item : seen)
        if (item.second > 1) records.erase(item.first);
    close_archive(archive);
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_scratch_dir() + "/append.qar";
    fuzz_write_file(path, data, size);
    const std::string original(reinterpret_cast<const char*>(data), size);
    const LayoutState before_state = inspect_archive(original).state;

    int opened_before = 0;
    int32_t count_before = 0;
    std::map<std::string, std::string> before = read_all(path, &opened_before, &count_before);

    ArchiveHandle* archive = open_archive(path.c_str(), 1);
    if (!archive) {
        if (fuzz_read_file(path) != original) fuzz_fail("a refused open changed the file");
        return 0;
    }
    // Half compressible, half not, so both storing paths run.
    uint8_t record[300];
    for (size_t i = 0; i < sizeof record; ++i) record[i] = i < 150 ? 'a' : uint8_t(i * 131 + 7);
    uint32_t stored = 0;
    int appended = append_record(archive, record, sizeof record, 1408098600, NEW_NAME, &stored);
    close_archive(archive);

    int opened_after = 0;
    int32_t count_after = 0;
    std::map<std::string, std::string> after = read_all(path, &opened_after, &count_after);
    if (!appended) {
        if (opened_before != opened_after || before != after)
            fuzz_fail("a refused append changed what the archive reads as");
        return 0;
    }
    if (!opened_after) fuzz_fail("the archive does not open after an append");
    if (count_after != count_before + 1) fuzz_fail("the new record is not listed once");
    // In a damaged file a record's bytes may run past the end of the file or
    // over a directory table, and then legitimately read differently once
    // the file has grown; only sound files promise more.
    if (before_state != LAYOUT_BROKEN) {
        for (auto& item : before) {
            if (item.first == NEW_NAME) continue;
            auto now = after.find(item.first);
            if (now != after.end() && now->second != item.second)
                fuzz_fail("a record reads differently after the append");
        }
        ArchiveLayout layout = inspect_archive(fuzz_read_file(path));
        if (layout.state != LAYOUT_STRICT) {
            fprintf(stderr, "after append: %s %s\n", layout_state_name(layout.state),
                    layout.problem.c_str());
            fuzz_fail("an append left the file out of step");
        }
    }
    return 0;
}
