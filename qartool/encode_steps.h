// A record's encoding (qar_encode_begin, _step, _end) as steps of the record
// pipeline: begun by a job's load step, one part per encoding step, ended by
// its finish step, each thread with its own compressor memory. Shared by
// add, sync and the compaction that compresses plain records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qar/qar.h"

struct EncodeJob {
    qar_encoded* encoded;  // owned (free with free_encode_job); null until begun
    qar_error failure;     // the encoding's outcome; QAR_OK while it goes well
};

// Begins encoding size bytes of data with the key and options; returns the
// number of parts (encode_part calls) that must follow, 0 when it failed
// (kept in job->failure) or needs none.
int begin_encode_job(EncodeJob* job, const uint8_t* data, size_t size, uint32_t key,
                     unsigned options);
// Part n: step n of the encoding on the running thread's workspace (the
// pipeline state from make_encode_workspace). A failure is kept by the
// encoding and reported by end_encode_job.
void encode_job_part(EncodeJob* job, int part, void* workspace);
// Once every part ended: the choice and the optimiser. Does nothing for a
// job that was not begun or already failed.
void end_encode_job(EncodeJob* job);
void free_encode_job(EncodeJob* job);

// The pipeline's make_state and free_state for the encoding steps. Running
// out of memory ends the process (exit_out_of_memory).
void* make_encode_workspace(void* context);
void free_encode_workspace(void* context, void* workspace);
