// Opens arbitrary bytes as an archive and reads every record it lists, into a new buffer
// and into a small one of the caller's: a refusal has a message, and both reads agree.
#include <cstring>

#include "archive_handle.h"
#include "fuzz_support.h"
#include "record_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_scratch_dir() + "/input.qar";
    fuzz_write_file(path, data, size);
    set_last_error("%s", "");
    ArchiveHandle* archive = open_archive(path.c_str(), 0);
    if (!archive && last_error_text()[0] == 0) fuzz_fail("a failed open left no message");
    if (!archive) return 0;
    DirectoryEntry* entries = nullptr;
    int32_t count = 0;
    get_directory(archive, &entries, &count);
    for (int32_t i = 0; i < count; ++i) {
        const std::string name(entries[i].name, strnlen(entries[i].name, QAR_NAME_LENGTH));
        uint32_t whole_size = 0, small_size = 0;
        uint8_t* whole = read_record_alloc(archive, name.c_str(), &whole_size);
        uint8_t small[64] = {};
        uint8_t* into = read_record(archive, name.c_str(), &small_size, small, sizeof small);
        if (into && (into != small || !whole || small_size != whole_size ||
                     memcmp(small, whole, small_size) != 0))
            fuzz_fail("a record reads differently into a caller's buffer");
        free(whole);
    }
    close_archive(archive);
    return 0;
}
