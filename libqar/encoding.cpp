#include "encoding.h"

#include <cstdlib>
#include <cstring>

#include "errors.h"

using namespace libqar;

namespace {

// A record smaller than this is compressed whole in one step, both methods
// one after the other: its second compression takes less than moving its
// bytes to another core costs. A larger record's methods are two steps, so
// that it can use two cores at once.
constexpr uint32_t WHOLE_RECORD_SIZE = 64 * 1024;

}  // namespace

qar_status qar_encoded_new(qar_encoded** out, qar_error* error) {
    ErrorOut e(error);
    *out = static_cast<qar_encoded*>(calloc(1, sizeof(qar_encoded)));
    return *out != nullptr ? QAR_OK : set_no_memory(e.to);
}

void qar_encoded_free(qar_encoded* encoded) {
    if (encoded == nullptr) return;
    release_buffer(&encoded->plain);
    release_buffer(&encoded->streams[0]);
    release_buffer(&encoded->streams[1]);
    free(encoded);
}

qar_status qar_workspace_new(qar_workspace** out, qar_error* error) {
    ErrorOut e(error);
    qar_workspace* workspace = static_cast<qar_workspace*>(calloc(1, sizeof(qar_workspace)));
    if (workspace != nullptr) workspace->area = codec_work_area(&workspace->block);
    if (workspace == nullptr || workspace->area == nullptr) {
        qar_workspace_free(workspace);
        *out = nullptr;
        return set_no_memory(e.to);
    }
    *out = workspace;
    return QAR_OK;
}

void qar_workspace_free(qar_workspace* workspace) {
    if (workspace == nullptr) return;
    release_buffer(&workspace->block);
    free(workspace);
}

qar_status qar_encode_begin(qar_encoded* encoded, const void* data, size_t size, uint32_t key,
                            unsigned options, unsigned* steps, qar_error* error) {
    ErrorOut e(error);
    encoded->ended = 0;
    encoded->steps = 0;
    if (size > 0xFFFFFFFFu)
        return set_error(e.to, QAR_TOO_LARGE, "A record holds at most 4294967295 bytes");
    if (size > 0 && data == nullptr) return set_error(e.to, QAR_INVALID, "No record bytes given");
    const uint32_t size32 = uint32_t(size);
    uint8_t* plain = reserve_buffer(&encoded->plain, size32);
    if (plain == nullptr) return set_no_memory(e.to);
    if (size32 > 0) memcpy(plain, data, size32);
    if (key != 0) mask_with_key(plain, size32, key);
    encoded->size = size32;
    encoded->key = key;
    for (qar_error& step : encoded->step_errors) clear_error(&step);
    const bool compress = (options & QAR_ENCODE_PLAIN) == 0 && size32 > 0 &&
                          size32 <= QAR_MAX_COMPRESSED_SIZE;
    encoded->steps = !compress ? 0 : size32 < WHOLE_RECORD_SIZE ? 1 : 2;
    if (steps != nullptr) *steps = encoded->steps;
    return QAR_OK;
}

qar_status qar_encode_step(qar_encoded* encoded, unsigned step, qar_workspace* workspace,
                           qar_error* error) {
    ErrorOut e(error);
    if (step >= encoded->steps || workspace == nullptr)
        return set_error(e.to, QAR_INVALID, "No such encoding step");
    // Step 0 of a record encoded in one step runs both methods; otherwise
    // step n runs method n. Each method's outcome goes to its own slot, so
    // that two steps never write the same memory.
    const unsigned last = encoded->steps == 1 ? 1 : step;
    for (unsigned method = step; method <= last; ++method) {
        qar_error* outcome = &encoded->step_errors[method];
        compress_with_method(CODEC_METHODS[method], encoded->plain.data, encoded->size,
                             &encoded->streams[method], &encoded->stream_sizes[method],
                             workspace->area, outcome);
    }
    // Of two failed methods the first is reported, as when they run in turn.
    for (unsigned method = step; method <= last; ++method)
        if (encoded->step_errors[method].status != QAR_OK) {
            *e.to = encoded->step_errors[method];
            return e.to->status;
        }
    return QAR_OK;
}

qar_status qar_encode_end(qar_encoded* encoded, qar_error* error) {
    ErrorOut e(error);
    encoded->ended = 0;
    if (encoded->steps == 0) {
        encoded->record = EncodedRecord{encoded->plain.data, encoded->size, 0};
        encoded->ended = 1;
        return QAR_OK;
    }
    for (const qar_error& step : encoded->step_errors)
        if (step.status != QAR_OK) {
            *e.to = step;
            return step.status;
        }
    const qar_status status = choose_stream(encoded->plain.data, encoded->size, encoded->streams,
                                            encoded->stream_sizes, &encoded->record, e.to);
    encoded->ended = status == QAR_OK;
    return status;
}

qar_status qar_encode(qar_encoded* encoded, const void* data, size_t size, uint32_t key,
                      unsigned options, qar_workspace* workspace, qar_error* error) {
    ErrorOut e(error);
    unsigned steps = 0;
    qar_status status = qar_encode_begin(encoded, data, size, key, options, &steps, e.to);
    qar_workspace* own = nullptr;
    if (status == QAR_OK && steps > 0 && workspace == nullptr) {
        status = qar_workspace_new(&own, e.to);
        workspace = own;
    }
    for (unsigned step = 0; status == QAR_OK && step < steps; ++step)
        status = qar_encode_step(encoded, step, workspace, e.to);
    qar_workspace_free(own);
    return status == QAR_OK ? qar_encode_end(encoded, e.to) : status;
}

const void* qar_encoded_bytes(const qar_encoded* encoded, size_t* stored_size,
                              qar_method* method, size_t* size) {
    if (!encoded->ended) return nullptr;
    if (stored_size != nullptr) *stored_size = encoded->record.stored_size;
    if (method != nullptr) *method = method_of_flags(encoded->record.flags);
    if (size != nullptr) *size = encoded->size;
    return encoded->record.stored;
}
