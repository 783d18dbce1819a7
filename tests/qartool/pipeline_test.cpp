// The record pipeline: order, the parts of a job, the bounds, and the run without workers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "record_pipeline.h"

namespace {

// One job of the test: its number decides how many parts it has (-1: a message, no work).
struct TestItem {
    int number;
    int parts;
    uint64_t sum[2];  // each part's result
    uint64_t result;  // finish: both parts together
};

struct TestRun {
    std::vector<int> written;         // item numbers in write order
    std::vector<std::string> faults;  // what the steps saw go wrong
    std::mutex lock;                  // for faults and loaded_on
    std::thread::id loaded_on;        // of the last job loaded
    std::atomic<int> in_flight{0}, most_in_flight{0}, states_made{0}, states_freed{0};
};

// Busy work whose length depends on the job, so that later jobs often end first.
uint64_t churn(int number, int part) {
    uint64_t x = uint64_t(number) * 2654435761u + uint64_t(part);
    for (int i = 0; i < (number * 7919) % 20000; ++i) x = x * 6364136223846793005u + 1;
    return x;
}

void fault(TestRun* run, const std::string& text) {
    std::lock_guard<std::mutex> hold(run->lock);
    run->faults.push_back(text);
}

// A thread's state: the thread it was made on.
PipelineSteps test_steps(TestRun* run) {
    PipelineSteps steps = {run, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    steps.make_state = [](void* context) -> void* {
        static_cast<TestRun*>(context)->states_made += 1;
        return new std::thread::id(std::this_thread::get_id());
    };
    steps.free_state = [](void* context, void* state) {
        static_cast<TestRun*>(context)->states_freed += 1;
        delete static_cast<std::thread::id*>(state);
    };
    steps.load = [](void* context, PipelineJob* job, void* state) {
        TestRun* run = static_cast<TestRun*>(context);
        if (state == nullptr || *static_cast<std::thread::id*>(state) != std::this_thread::get_id())
            fault(run, "a step ran with a state made on another thread, or none");
        std::lock_guard<std::mutex> hold(run->lock);
        run->loaded_on = std::this_thread::get_id();
        const int now = ++run->in_flight;
        if (now > run->most_in_flight) run->most_in_flight = now;
        return static_cast<TestItem*>(job->item)->parts;
    };
    steps.part = [](void* context, PipelineJob* job, int part, void*) {
        TestItem* item = static_cast<TestItem*>(job->item);
        if (part < 0 || part >= item->parts) fault(static_cast<TestRun*>(context), "part out of range");
        item->sum[part] = churn(item->number, part);
    };
    steps.finish = [](void*, PipelineJob* job) {
        TestItem* item = static_cast<TestItem*>(job->item);
        item->result = item->sum[0] ^ (item->sum[1] << 1);
    };
    steps.write = [](void* context, PipelineJob* job) {
        TestRun* run = static_cast<TestRun*>(context);
        TestItem* item = static_cast<TestItem*>(job->item);
        run->written.push_back(item->number);
        const uint64_t want = (item->parts >= 1 ? churn(item->number, 0) : 0) ^
                              (item->parts == 2 ? churn(item->number, 1) << 1 : 0);
        if (item->parts >= 0 && item->result != want)
            fault(run, "job " + std::to_string(item->number) + " written before its parts ended");
        if (item->parts >= 0) run->in_flight -= 1;
        delete item;
    };
    return steps;
}

// Pushes jobs 0 .. count-1: every fifth a message (no work), the rest with 0, 1 or 2 parts.
std::vector<int> push_jobs(Pipeline* pipeline, int count, uint64_t bytes) {
    std::vector<int> order;
    for (int n = 0; n < count; ++n) {
        const bool message = n % 5 == 4;
        pipeline_push(pipeline, new TestItem{n, message ? -1 : n % 3, {0, 0}, 0}, bytes, !message);
        order.push_back(n);
    }
    return order;
}

TEST(RecordPipeline, WritesEveryJobInPushOrderAfterAllItsStepsWhateverTheWorkers) {
    for (unsigned workers : {0u, 1u, 2u, 4u}) {
        TestRun run;
        Pipeline* pipeline = start_pipeline(test_steps(&run), record_pipeline_limits(workers));
        EXPECT_EQ(workers, pipeline_workers(pipeline)) << "workers started";
        const std::vector<int> order = push_jobs(pipeline, 300, 1000);
        stop_pipeline(pipeline);
        EXPECT_EQ(order, run.written) << "write order with " << workers << " workers";
        EXPECT_EQ(std::vector<std::string>(), run.faults) << "with " << workers << " workers";
        EXPECT_EQ(run.states_made.load(), run.states_freed.load())
            << "thread states left unfreed with " << workers << " workers";
    }
}

TEST(RecordPipeline, WithoutWorkersEveryStepRunsOnTheCallingThread) {
    TestRun run;
    Pipeline* pipeline = start_pipeline(test_steps(&run), record_pipeline_limits(0));
    pipeline_push(pipeline, new TestItem{7, 2, {0, 0}, 0}, 10, 1);
    EXPECT_EQ(std::vector<int>{7}, run.written) << "the job is written inside the push";
    EXPECT_EQ(std::this_thread::get_id(), run.loaded_on) << "the thread that loaded the job";
    stop_pipeline(pipeline);
}

// Each part waits for the other to begin: only parts run side by side both see it.
TEST(RecordPipeline, TheTwoPartsOfOneJobRunAtTheSameTime) {
    struct Meeting {
        std::mutex lock;
        std::condition_variable arrived;
        int count = 0;
        std::atomic<int> met{0};
    } meeting;
    auto part = [](void* context, PipelineJob*, int, void*) {
        Meeting* m = static_cast<Meeting*>(context);
        std::unique_lock<std::mutex> hold(m->lock);
        m->count += 1;
        m->arrived.notify_all();
        if (m->arrived.wait_for(hold, std::chrono::seconds(20), [m] { return m->count == 2; }))
            m->met += 1;
    };
    PipelineSteps steps = {&meeting, [](void*, PipelineJob*, void*) { return 2; }, part, nullptr,
                           [](void*, PipelineJob*) {}, nullptr, nullptr};
    Pipeline* pipeline = start_pipeline(steps, record_pipeline_limits(2));
    int item = 0;
    pipeline_push(pipeline, &item, 1, 1);
    stop_pipeline(pipeline);
    EXPECT_EQ(2, meeting.met.load()) << "the second part waited for the first to end";
}

// Three jobs fit by count, two by bytes (40 + 40 <= 100 < 120); one of 500 goes alone.
TEST(RecordPipeline, JobsInFlightStayWithinTheCountAndTheBytes) {
    for (const auto& [workers, bytes, most] : {std::tuple<unsigned, int, int>{1, 40, 2},
                                               {3, 40, 2}, {2, 500, 1}}) {
        TestRun run;
        Pipeline* pipeline = start_pipeline(test_steps(&run), PipelineLimits{workers, 3, 100});
        const std::vector<int> order = push_jobs(pipeline, 200, uint64_t(bytes));
        stop_pipeline(pipeline);
        EXPECT_GE(most, run.most_in_flight.load()) << "jobs of " << bytes << " bytes loaded at once";
        EXPECT_EQ(order, run.written);
        EXPECT_EQ(std::vector<std::string>(), run.faults);
    }
}

}  // namespace
