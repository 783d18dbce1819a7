// Helpers for tests that drive the library through its public header: a
// handle closed when it goes away, and a call's outcome as text, so that a
// failed expectation shows the library's message.
#pragma once

#include <string>
#include <vector>

#include "qar/qar.h"

using Bytes = std::vector<uint8_t>;

// An open archive, closed (and its close ignored) when the object goes away.
struct OpenArchive {
    qar_archive* handle = nullptr;
    qar_error error = {};
    OpenArchive(const std::string& path, unsigned mode, uint32_t key) {
        qar_open_key(path.c_str(), mode, key, nullptr, nullptr, &handle, &error);
    }
    ~OpenArchive() { qar_close(handle, nullptr); }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;
    // Gives the handle up (to qar_close or qar_compact).
    qar_archive* release() {
        qar_archive* out = handle;
        handle = nullptr;
        return out;
    }
};

// "(succeeded)" for QAR_OK, else the message the call left.
inline std::string outcome(qar_status status, const qar_error& error) {
    return status == QAR_OK ? std::string("(succeeded)") : std::string(error.message);
}

// The record of that name as read through the handle; empty when it cannot
// be read.
inline Bytes read_named(const qar_archive* archive, const std::string& name) {
    size_t position = 0, size = 0;
    void* data = nullptr;
    if (qar_find(archive, name.c_str(), &position, nullptr) != QAR_OK ||
        qar_read_alloc(archive, position, &data, &size, nullptr) != QAR_OK)
        return Bytes();
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    Bytes out(bytes, bytes + size);
    qar_free(data);
    return out;
}
