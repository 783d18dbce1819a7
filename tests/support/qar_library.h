// Helpers for tests that drive the library through its public header.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
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
    // Gives the handle up (to qar_close or qar_compact).
    qar_archive* release() { return std::exchange(handle, nullptr); }
};

// The snapshot position of the first record of that name; SIZE_MAX when there is none.
inline size_t at(const qar_archive* archive, const std::string& name) {
    size_t position = 0;
    return qar_find(archive, name.c_str(), &position, nullptr) == QAR_OK ? position : SIZE_MAX;
}

// The record of that name as read through the handle; empty when it cannot be read.
inline Bytes read_named(const qar_archive* archive, const std::string& name) {
    size_t size = 0;
    void* data = nullptr;
    if (qar_read_alloc(archive, at(archive, name), &data, &size, nullptr) != QAR_OK) return {};
    Bytes out(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    qar_free(data);
    return out;
}
