// The one encoding of a record (qar_encode and its steps in qar.h): masked,
// compressed both ways, the shortest form chosen and a chosen stream
// optimised. What the record operations take from a finished encoding.
#pragma once

#include <cstdint>

#include "archive_handle.h"
#include "record_codec.h"

struct qar_encoded {
    libqar::ByteBuffer plain;         // the masked copy of the record
    libqar::ByteBuffer streams[2];    // one per CODEC_METHODS entry
    uint32_t size;            // plain bytes
    uint32_t key;             // the key the bytes were masked with
    unsigned steps;           // announced by begin: 0, 1 (both methods) or 2 (one each)
    uint32_t stream_sizes[2];
    qar_error step_errors[2]; // each method's outcome; written by one step only
    int ended;                // 1 once qar_encode_end succeeded
    libqar::EncodedRecord record;     // the result, pointing into plain or a stream
};

struct qar_workspace {
    libqar::ByteBuffer block;  // holds the aligned work area
    void* area;        // CODEC_WORK_AREA_SIZE bytes, 16-byte aligned
};
