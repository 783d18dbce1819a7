#include "record_pipeline.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

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
    ByteBuffer own_area = {};  // the work area of the steps run without workers
};

namespace {

void* work_area_in(ByteBuffer* block, size_t size) {
    if (size == 0) return nullptr;
    uint8_t* start = reserve_buffer(block, size + 16);
    return start + (16 - reinterpret_cast<uintptr_t>(start) % 16) % 16;
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
bool run_next_step(Pipeline* p, std::unique_lock<std::mutex>& hold, void* area) {
    void* context = p->steps.context;
    if (!p->parts.empty()) {
        PartTask task = p->parts.front();
        p->parts.pop_front();
        hold.unlock();
        p->steps.part(context, task.job, task.part, area);
        hold.lock();
        end_part(p, task.job, hold);
        return true;
    }
    if (p->loads.empty()) return false;
    PipelineJob* job = p->loads.front();
    p->loads.pop_front();
    hold.unlock();
    int parts = p->steps.load(context, job, area);
    hold.lock();
    job->parts_left = parts;
    if (parts == 0) {
        end_job(p, job, hold);
        return true;
    }
    for (int i = 1; i < parts; ++i) p->parts.push_back(PartTask{job, i});
    if (parts > 1 && p->idle_workers > 0) p->work_ready.notify_one();
    hold.unlock();
    p->steps.part(context, job, 0, area);
    hold.lock();
    end_part(p, job, hold);
    return true;
}

void run_worker(Pipeline* p) {
    ByteBuffer block = {};
    void* area = work_area_in(&block, p->steps.worker_area_size);
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        if (run_next_step(p, hold, area)) continue;
        if (p->stopping) break;
        p->idle_workers += 1;
        p->work_ready.wait(hold);
        p->idle_workers -= 1;
    }
    hold.unlock();
    release_buffer(&block);
}

// All of a job's steps, one after the other, on the calling thread.
void run_here(Pipeline* p, PipelineJob* job) {
    void* area = work_area_in(&p->own_area, p->steps.worker_area_size);
    int parts = p->steps.load(p->steps.context, job, area);
    for (int i = 0; i < parts; ++i) p->steps.part(p->steps.context, job, i, area);
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
        if (run_next_step(p, hold, work_area_in(&p->own_area, p->steps.worker_area_size)))
            continue;
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
    release_buffer(&p->own_area);
    delete p;
}
