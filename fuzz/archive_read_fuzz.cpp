// Opens arbitrary bytes as an archive through the library and reads and tests every record
// it lists, into a new buffer and into a small one of the caller's: a refusal has a status
// and a message, and both reads agree.
#include <cstring>

#include "fuzz_support.h"
#include "qar/qar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_scratch_dir() + "/input.qar";
    fuzz_write_file(path, data, size);
    qar_archive* archive = nullptr;
    qar_error error;
    if (qar_open_key(path.c_str(), QAR_READ | QAR_ANY_KEY, 0, nullptr, nullptr, &archive,
                     &error) != QAR_OK) {
        if (error.message[0] == 0 || error.status == QAR_OK || archive != nullptr)
            fuzz_fail("a failed open left no message, no status or a handle");
        return 0;
    }
    for (size_t i = 0; i < qar_count(archive); ++i) {
        void* whole = nullptr;
        size_t whole_size = 0, small_size = 0;
        const qar_status read = qar_read_alloc(archive, i, &whole, &whole_size, &error);
        if (read != QAR_OK && (error.message[0] == 0 || whole != nullptr))
            fuzz_fail("a failed read left no message or a block");
        uint8_t small[64] = {};
        const qar_status into = qar_read(archive, i, small, sizeof small, &small_size, &error);
        if (into == QAR_OK && (read != QAR_OK || small_size != whole_size ||
                               memcmp(small, whole, small_size) != 0))
            fuzz_fail("a record reads differently into a caller's buffer");
        if (qar_test(archive, i, nullptr) == QAR_OK && read != QAR_OK && read != QAR_NO_MEMORY)
            fuzz_fail("a record that tests sound does not read");
        qar_free(whole);
    }
    qar_close(archive, nullptr);
    return 0;
}
