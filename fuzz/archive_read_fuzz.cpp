// Opens an arbitrary file as an archive and reads back every record its
// directory lists, both into new buffers and into a small buffer of the
// caller's. Whatever the bytes, the store must fail cleanly, and a record
// must read the same both ways.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive_handle.h"
#include "fuzz_support.h"
#include "record_ops.h"

namespace {

void read_everything(ArchiveHandle* archive) {
    DirectoryEntry* entries = nullptr;
    int32_t count = -1;
    get_directory(archive, &entries, &count);
    if (count < 0 || (count > 0 && entries == nullptr)) fuzz_fail("bad directory");
    for (int32_t i = 0; i < count; ++i) {
        if (entries[i].flags & QAR_FLAG_DELETED) fuzz_fail("deleted entry in the directory");
        char name[QAR_NAME_LENGTH + 1] = {};
        memcpy(name, entries[i].name, QAR_NAME_LENGTH);
        uint32_t size = 0;
        uint8_t* data = read_record_alloc(archive, name, &size);

        // Into a caller's buffer the same record reads the same, when it fits
        // (a new buffer starts zeroed, so this one does too).
        uint8_t small[64] = {};
        uint32_t small_size = 0;
        uint8_t* into = read_record(archive, name, &small_size, small, sizeof small);
        if (into != nullptr && into != small) fuzz_fail("caller's buffer not used");
        if (into != nullptr && small_size > sizeof small) fuzz_fail("caller's buffer overrun");
        if (into != nullptr &&
            (data == nullptr || small_size != size || memcmp(small, data, size) != 0))
            fuzz_fail("a record reads differently into a caller's buffer");
        free(data);
    }
    // A name the archive does not hold.
    uint32_t size = 0;
    free(read_record_alloc(archive, "\x01no such record", &size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_scratch_dir() + "/input.qar";
    fuzz_write_file(path, data, size);
    set_last_error("%s", "");
    ArchiveHandle* archive = open_archive(path.c_str(), 0);
    if (archive == nullptr) {
        if (last_error_text()[0] == 0) fuzz_fail("failed open without a message");
        return 0;
    }
    read_everything(archive);
    close_archive(archive);
    return 0;
}
