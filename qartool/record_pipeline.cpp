#include "record_pipeline.h"

#include <cstdlib>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "report.h"

namespace {

// The second part of a loaded job, waiting for a worker.
struct PartTask {
    PipelineJob* job;
    int part;
};

}  // namespace

struct Pipeline {
    PipelineSteps steps;
    PipelineLimits limits;
    std::mutex lock;
    std::condition_variable work_ready;  // a worker may have something to do
    std::condition_variable job_done;    // the oldest job may be done
    // Under lock: what the workers take, second parts first so that a record
    // already begun is finished before new ones are read in.
    std::deque<PartTask> parts;
    std::deque<PipelineJob*> loads;
    std::deque<PipelineJob*> in_flight;  // push order, not yet written
    std::vector<PipelineJob*> spare;     // written, kept for the next push
    uint64_t bytes_in_flight = 0;
    unsigned idle_workers = 0;           // asleep on work_ready
    bool writer_waiting = false;         // asleep on job_done
    bool stopping = false;
    // Only touched by the calling thread.
    std::vector<std::thread> threads;
    void* own_state = nullptr;   // the calling thread's state (make_state)
    bool own_state_made = false;
};

uint8_t* reserve_buffer(ByteBuffer* buffer, size_t size) {
    if (size > buffer->capacity || buffer->data == nullptr) {
        // The old contents need not survive: free first rather than realloc,
        // which would copy them.
        release_buffer(buffer);
        buffer->data = static_cast<uint8_t*>(malloc(size != 0 ? size : 1));
        if (buffer->data == nullptr) exit_out_of_memory();
        buffer->capacity = size;
    }
    return buffer->data;
}

void release_buffer(ByteBuffer* buffer) {
    free(buffer->data);
    buffer->data = nullptr;
    buffer->capacity = 0;
}

namespace {

// The calling thread's state, made when it first runs a step.
void* own_state(Pipeline* p) {
    if (!p->own_state_made && p->steps.make_state != nullptr)
        p->own_state = p->steps.make_state(p->steps.context);
    p->own_state_made = true;
    return p->own_state;
}

// Marks a job whose steps all ended as done, running finish first. Called
// with the lock held; finish runs without it.
void end_job(Pipeline* p, PipelineJob* job, std::unique_lock<std::mutex>& hold) {
    if (p->steps.finish != nullptr) {
        hold.unlock();
        p->steps.finish(p->steps.context, job);
        hold.lock();
    }
    job->done = 1;
    if (p->writer_waiting && p->in_flight.front() == job) p->job_done.notify_one();
}

void end_part(Pipeline* p, PipelineJob* job, std::unique_lock<std::mutex>& hold) {
    job->parts_left -= 1;
    if (job->parts_left == 0) end_job(p, job, hold);
}

// Takes the next step off the queues and runs it: a second part first, so
// that a record already begun is finished before new ones are read in, else
// the next load. Called and returns with the lock held; the step runs
// without it. False when both queues are empty.
bool run_next_step(Pipeline* p, std::unique_lock<std::mutex>& hold, void* state) {
    void* context = p->steps.context;
    if (!p->parts.empty()) {
        PartTask task = p->parts.front();
        p->parts.pop_front();
        hold.unlock();
        p->steps.part(context, task.job, task.part, state);
        hold.lock();
        end_part(p, task.job, hold);
        return true;
    }
    if (p->loads.empty()) return false;
    PipelineJob* job = p->loads.front();
    p->loads.pop_front();
    hold.unlock();
    int parts = p->steps.load(context, job, state);
    hold.lock();
    job->parts_left = parts;
    if (parts == 0) {
        end_job(p, job, hold);
        return true;
    }
    for (int i = 1; i < parts; ++i) p->parts.push_back(PartTask{job, i});
    if (parts > 1 && p->idle_workers > 0) p->work_ready.notify_one();
    hold.unlock();
    p->steps.part(context, job, 0, state);
    hold.lock();
    end_part(p, job, hold);
    return true;
}

void run_worker(Pipeline* p) {
    void* state = p->steps.make_state != nullptr ? p->steps.make_state(p->steps.context) : nullptr;
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        if (run_next_step(p, hold, state)) continue;
        if (p->stopping) break;
        p->idle_workers += 1;
        p->work_ready.wait(hold);
        p->idle_workers -= 1;
    }
    hold.unlock();
    if (p->steps.free_state != nullptr) p->steps.free_state(p->steps.context, state);
}

// All of a job's steps, one after the other, on the calling thread.
void run_here(Pipeline* p, PipelineJob* job) {
    void* state = own_state(p);
    int parts = p->steps.load(p->steps.context, job, state);
    for (int i = 0; i < parts; ++i) p->steps.part(p->steps.context, job, i, state);
    if (p->steps.finish != nullptr) p->steps.finish(p->steps.context, job);
}

// Writes the oldest job in flight; with wait set, once it is done. False when
// nothing is in flight or (without wait) the oldest job is not done yet.
bool write_oldest(Pipeline* p, std::unique_lock<std::mutex>& hold, bool wait) {
    if (p->in_flight.empty()) return false;
    PipelineJob* job = p->in_flight.front();
    if (!job->done && !wait) return false;
    // Rather than sleep, this thread runs waiting steps itself (of this job
    // or later ones); it sleeps only while the job's last steps run on
    // workers.
    while (!job->done) {
        if (run_next_step(p, hold, own_state(p))) continue;
        p->writer_waiting = true;
        p->job_done.wait(hold);
        p->writer_waiting = false;
    }
    p->in_flight.pop_front();
    hold.unlock();
    // No worker touches a job once it is done.
    p->steps.write(p->steps.context, job);
    for (ByteBuffer& buffer : job->buffers)
        if (buffer.capacity > PIPELINE_KEEP_BYTES) release_buffer(&buffer);
    hold.lock();
    p->bytes_in_flight -= job->bytes;
    p->spare.push_back(job);
    return true;
}

bool is_full(const Pipeline* p, uint64_t bytes) {
    if (p->in_flight.empty()) return false;
    return p->in_flight.size() >= p->limits.max_jobs ||
           p->bytes_in_flight + bytes > p->limits.max_bytes;
}

}  // namespace

PipelineLimits record_pipeline_limits(unsigned workers) {
    return PipelineLimits{workers, 8 * workers + 8, uint64_t(64) << 20};
}

Pipeline* start_pipeline(const PipelineSteps& steps, const PipelineLimits& limits) {
    Pipeline* p = new Pipeline;
    p->steps = steps;
    p->limits = limits;
    if (p->limits.max_jobs == 0) p->limits.max_jobs = 1;
    for (unsigned i = 0; i < limits.workers; ++i) {
        try {
            p->threads.emplace_back(run_worker, p);
        } catch (const std::system_error&) {
            break;  // the workers started so far do the work
        }
    }
    return p;
}

void pipeline_push(Pipeline* p, void* item, uint64_t bytes, int has_work) {
    std::unique_lock<std::mutex> hold(p->lock);
    while (is_full(p, bytes)) write_oldest(p, hold, true);
    PipelineJob* job = nullptr;
    if (!p->spare.empty()) {
        job = p->spare.back();
        p->spare.pop_back();
    } else {
        job = new PipelineJob{};
    }
    job->item = item;
    job->bytes = bytes;
    job->parts_left = 0;
    job->done = has_work ? 0 : 1;
    p->bytes_in_flight += bytes;
    p->in_flight.push_back(job);
    if (has_work && p->threads.empty()) {
        hold.unlock();
        run_here(p, job);
        hold.lock();
        job->done = 1;
    } else if (has_work) {
        p->loads.push_back(job);
        if (p->idle_workers > 0) p->work_ready.notify_one();
    }
    while (write_oldest(p, hold, false)) {
    }
}

void pipeline_flush(Pipeline* p) {
    std::unique_lock<std::mutex> hold(p->lock);
    while (write_oldest(p, hold, true)) {
    }
}

unsigned pipeline_workers(const Pipeline* p) { return unsigned(p->threads.size()); }

void stop_pipeline(Pipeline* p) {
    pipeline_flush(p);
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->stopping = true;
    }
    p->work_ready.notify_all();
    for (std::thread& thread : p->threads) thread.join();
    for (PipelineJob* job : p->spare) {
        for (ByteBuffer& buffer : job->buffers) release_buffer(&buffer);
        delete job;
    }
    if (p->own_state_made && p->steps.free_state != nullptr)
        p->steps.free_state(p->steps.context, p->own_state);
    delete p;
}
