// Linked into the test programs of a ThreadSanitizer build: runs OpenCV's
// parallel loops on std::thread workers instead of TBB.
//
// TBB is not instrumented, so TSan cannot see a loop's join: every layer
// output written by a TBB worker and read by the caller afterwards would be
// reported. Workers started and joined here are seen, so OpenCV's parallel
// work, our layers' slices included, is checked with no suppression.
// Threads are started per loop: slow, but simple and plainly correct.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/parallel/parallel_backend.hpp>

namespace {

thread_local int tWorkerIndex = 0;

int DefaultThreads() {
    return static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
}

class ThreadParallelFor final : public cv::parallel::ParallelForAPI {
public:
    void parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data) override {
        const int workers = std::min(tasks, threads_.load());
        if (workers <= 1) {
            body(0, tasks, data);
            return;
        }
        std::atomic<int> next{0};
        const auto run = [&] {
            for (int t = next.fetch_add(1); t < tasks; t = next.fetch_add(1)) body(t, t + 1, data);
        };
        std::vector<std::thread> pool;
        for (int i = 1; i < workers; ++i) {
            pool.emplace_back([&run, i] {
                tWorkerIndex = i;
                run();
            });
        }
        run();
        for (std::thread& th : pool) th.join();
    }
    int getThreadNum() const override { return tWorkerIndex; }
    int getNumThreads() const override { return threads_.load(); }
    int setNumThreads(int n) override { return threads_.exchange(n > 0 ? n : DefaultThreads()); }
    const char* getName() const override { return "korva-std-thread"; }

private:
    std::atomic<int> threads_{DefaultThreads()};
};

const bool kInstalled = [] {
    cv::parallel::setParallelForBackend(std::make_shared<ThreadParallelFor>(), false);
    return true;
}();

}  // namespace
