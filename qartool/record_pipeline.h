// A pipeline of numbered jobs: worker threads run the jobs' steps, and the
// calling thread writes their results in the order the jobs were pushed.
//
// A job runs on the workers as:
//   load   once: brings the job's bytes in and says how many parts follow (0-2);
//   part   once per part; the parts of one job may run at the same time on
//          different workers (the two compressions of one record);
//   finish once, on the worker that ended the last part (may be null).
// Then write runs on the calling thread, inside pipeline_push, pipeline_flush
// or stop_pipeline, for each job in push order once its steps are done. The
// caller's own state (an archive handle, standard output) is therefore only
// ever touched by the calling thread, and what it writes is the same for any
// number of workers as long as a job's steps depend on the job alone.
//
// Where the calling thread would wait for a job, it runs queued steps itself
// instead (so with W workers, W + 1 threads do the steps, and the calling
// thread sleeps only while the last steps of the job it waits for run on
// workers). With 0 workers no thread is started: pipeline_push runs the
// job's steps itself, at once, and writes it.
//
// In flight (pushed and not yet written) are at most max_jobs jobs and at
// most max_bytes bytes as the caller counts them; a job larger than
// max_bytes is let in alone. pipeline_push first writes finished jobs,
// waiting for them in order, until the new job fits. No thread spins: the
// waits are on condition variables. Running out of memory ends the process
// with status 107 (exit_out_of_memory); a thread that cannot be started
// leaves fewer workers.
#pragma once

#include <cstddef>
#include <cstdint>


// A heap block that is kept and grown as needed, so that a run over many
// records allocates only when a record is larger than any before it.
struct ByteBuffer {
    uint8_t* data;    // capacity bytes; owned; null while capacity is 0
    size_t capacity;
};
// Makes room for size bytes and returns data; the contents are not kept.
// Running out of memory ends the process (exit_out_of_memory).
uint8_t* reserve_buffer(ByteBuffer* buffer, size_t size);
// Frees the block; the buffer is empty and usable again afterwards.
void release_buffer(ByteBuffer* buffer);

// Buffers a job's steps fill. The pipeline keeps them for later jobs unless
// one grew past PIPELINE_KEEP_BYTES, which is freed once the job is written,
// so that a few large records do not stay in memory for the rest of a run.
constexpr size_t PIPELINE_BUFFERS = 2;
constexpr size_t PIPELINE_KEEP_BYTES = size_t(1) << 20;

struct PipelineJob {
    void* item;                              // the caller's, as pushed; not owned
    ByteBuffer buffers[PIPELINE_BUFFERS];    // owned by the pipeline, see above
    // The pipeline's own bookkeeping.
    uint64_t bytes;    // counted against max_bytes until written
    int parts_left;    // parts not yet ended, under the pipeline's lock
    int done;          // all steps ended, under the pipeline's lock
};

struct PipelineSteps {
    void* context;  // passed to every step
    // The worker steps (run on a worker or the calling thread). state is
    // the running thread's own, from make_state, kept for the whole run.
    int (*load)(void* context, PipelineJob* job, void* state);
    void (*part)(void* context, PipelineJob* job, int part, void* state);
    void (*finish)(void* context, PipelineJob* job);
    // On the calling thread, in push order. The job's buffers are reused
    // after it returns; the item is the caller's to free here.
    void (*write)(void* context, PipelineJob* job);
    // What each thread that runs steps keeps for itself (the compressors'
    // memory), made on that thread before its first step and freed with
    // free_state when the run ends; both may be null (state is then null).
    void* (*make_state)(void* context);
    void (*free_state)(void* context, void* state);
};

struct PipelineLimits {
    unsigned workers;    // worker threads; 0 runs every step on the calling thread
    unsigned max_jobs;   // at least 1
    uint64_t max_bytes;
};

// The limits an add or an extract uses with a number of workers: eight jobs
// for each thread that runs steps (so that a worker finds work while the
// calling thread spends a while on one large record) and 64 MB in flight,
// which the byte counts of callers make the memory the jobs hold.
PipelineLimits record_pipeline_limits(unsigned workers);

struct Pipeline;

// Starts the workers. The steps must stay valid until stop_pipeline.
Pipeline* start_pipeline(const PipelineSteps& steps, const PipelineLimits& limits);

// Adds a job for item that counts bytes against the bound. With has_work 0
// it has no steps and is only written in its turn (a message between
// records). Writes every job ahead of it that is done by then.
void pipeline_push(Pipeline* pipeline, void* item, uint64_t bytes, int has_work);

// Waits for every job in flight and writes them all.
void pipeline_flush(Pipeline* pipeline);

// The worker threads actually running (0 when none could be started).
unsigned pipeline_workers(const Pipeline* pipeline);

// Flushes, stops and joins the workers, and frees the pipeline and its jobs.
void stop_pipeline(Pipeline* pipeline);
