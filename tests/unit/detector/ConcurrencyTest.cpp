// Concurrent inference gives the sequential results, also while the model is
// swapped, optimised and released underneath.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "DetectorTestUtil.h"
#include "korva/KorvaCustomWD.h"

namespace {

using korva::test::ModelDir;
using korva::test::RandomFrame;
using korva::test::SameDetections;

constexpr int kThreads = 4;

// 16 distinct frames of assorted sizes and channel counts.
std::vector<cv::Mat> Frames() {
    const cv::Size sizes[] = {{96, 64}, {64, 64}, {640, 480}, {123, 457}, {31, 17}, {800, 200}};
    const int types[] = {CV_8UC3, CV_8UC3, CV_8UC1, CV_8UC4};
    std::vector<cv::Mat> frames;
    for (unsigned i = 0; i < 16; ++i) {
        frames.push_back(RandomFrame(sizes[i % 6], types[i % 4], 1000 + i));
    }
    return frames;
}

std::string Camera(std::size_t i) { return "camera " + std::to_string(i); }

std::vector<std::vector<CustomObject>> Sequential(KorvaCustomWD& detector,
                                                  const std::vector<cv::Mat>& frames) {
    std::vector<std::vector<CustomObject>> results;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        results.push_back(detector.RunInference(frames[i], Camera(i)));
    }
    return results;
}

class ConcurrentInference : public testing::TestWithParam<std::string> {};

TEST_P(ConcurrentInference, EqualsSequentialBitForBit) {
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir(GetParam()), 0.3f, labelMap)) << detector.LastError();
    const std::vector<cv::Mat> frames = Frames();
    const auto expected = Sequential(detector, frames);
    std::size_t total = 0;
    for (const auto& r : expected) total += r.size();
    ASSERT_GT(total, 0u);

    std::atomic<int> mismatches{0};
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::size_t> order(frames.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int round = 0; round < 4; ++round) {
                std::shuffle(order.begin(), order.end(), rng);
                for (std::size_t i : order) {
                    if (!SameDetections(detector.RunInference(frames[i], Camera(i)), expected[i])) {
                        ++mismatches;
                    }
                    ++runs;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(runs.load(), kThreads * 4 * 16);
    // Every frame counted once for its camera: one sequential run, then four per thread.
    const auto cameras = detector.CameraStatisticsSnapshot();
    ASSERT_EQ(cameras.size(), frames.size());
    for (const auto& c : cameras) {
        EXPECT_EQ(c.counts.framesInspected, std::uint64_t(1 + kThreads * 4)) << c.cameraId;
        EXPECT_EQ(c.cameraId.rfind("camera ", 0), 0u) << c.cameraId;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ConcurrentInference,
                         testing::Values("v8_nc3", "v5_nc3", "everywhere_v8_nc3", "silu_v8_nc3"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

// Initialize, OptimizeModel and Destroy on the main thread while four threads
// infer: each result is empty (no model at that moment) or exactly the
// sequential result of one of the two models.
TEST(ConcurrentSwap, InferenceSeesWholeModelsOnly) {
    const std::vector<cv::Mat> frames = Frames();
    const std::string models[] = {ModelDir("v8_nc3"), ModelDir("v5_nc3")};
    KorvaCustomWD detector;
    std::string labelMap;
    std::vector<std::vector<CustomObject>> expected[2];
    for (int m = 0; m < 2; ++m) {
        ASSERT_TRUE(detector.Initialize(models[m], 0.3f, labelMap)) << detector.LastError();
        expected[m] = Sequential(detector, frames);
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        // The two models must be told apart for the check to mean anything.
        if (!expected[0][i].empty() || !expected[1][i].empty()) {
            ASSERT_FALSE(SameDetections(expected[0][i], expected[1][i])) << "frame " << i;
        }
    }

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t k = static_cast<std::size_t>(t); !stop.load(); ++k) {
                const std::size_t i = k % frames.size();
                const auto got = detector.RunInference(frames[i], Camera(i));
                if (!got.empty() && !SameDetections(got, expected[0][i]) &&
                    !SameDetections(got, expected[1][i])) {
                    ++bad;
                }
                ++runs;
            }
        });
    }
    // Let every worker get going before the swaps start.
    while (runs.load() < kThreads * 2) std::this_thread::yield();

    for (int cycle = 0; cycle < 12; ++cycle) {
        const int m = cycle % 2;
        EXPECT_TRUE(detector.Initialize(models[m], 0.3f, labelMap)) << detector.LastError();
        const int before = runs.load();
        while (runs.load() < before + kThreads) std::this_thread::yield();
        EXPECT_TRUE(detector.OptimizeModel(cycle % 4 == 1));
        if (cycle % 3 == 2) {
            EXPECT_TRUE(detector.Destroy());
        }
        if (cycle % 5 == 4) {
            EXPECT_FALSE(detector.Initialize(ModelDir("bad_layout"), 0.3f, labelMap));
        }
    }
    stop = true;
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);

    // After the storm the detector still serves the last model loaded.
    ASSERT_TRUE(detector.Initialize(models[1], 0.3f, labelMap));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(SameDetections(detector.RunInference(frames[i], Camera(i)), expected[1][i]));
    }
}

// Threads calling one detector at once each read the reason of their own
// last call: a refusal's reason is never lost to, or taken from, another
// thread's success.
struct ReasonRole {
    const char* name;
    // Makes one call; true when it succeeded.
    std::function<bool(KorvaCustomWD&)> call;
    std::string reason;  // expected in LastError(); empty: the call succeeds
};

TEST(ConcurrentReasons, EachThreadReadsItsOwnReason) {
    const std::string good = ModelDir("v8_nc3");
    const std::string missing = ModelDir("absent");
    const cv::Mat frame = RandomFrame({96, 64}, CV_8UC3, 3);
    const ReasonRole roles[] = {
        {"loads a missing folder",
         [&](KorvaCustomWD& d) {
             std::string m;
             return d.Initialize(missing, 0.3f, m);
         },
         "does not exist"},
        {"loads the model",
         [&](KorvaCustomWD& d) {
             std::string m;
             return d.Initialize(good, 0.3f, m);
         },
         ""},
        {"sends empty frames", [&](KorvaCustomWD& d) { return !d.RunInference(cv::Mat()).empty(); },
         "not inspected"},
        {"loads with a threshold of 2",
         [&](KorvaCustomWD& d) {
             std::string m;
             return d.Initialize(good, 2.0f, m);
         },
         "threshold"},
        {"reads the parameters",
         [&](KorvaCustomWD& d) {
             CustomParams p;
             return d.ConfigureParameters(p);
         },
         ""},
    };
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(good, 0.3f, labelMap));

    constexpr int kCalls = 60;
    std::vector<int> wrong(std::size(roles), 0);
    std::vector<std::string> firstWrong(std::size(roles));
    std::vector<std::thread> threads;
    for (std::size_t r = 0; r < std::size(roles); ++r) {
        threads.emplace_back([&, r] {
            const ReasonRole& role = roles[r];
            for (int i = 0; i < kCalls; ++i) {
                const bool ok = role.call(detector);
                const std::string reason = detector.LastError();
                const bool right = role.reason.empty()
                                       ? ok && reason.empty()
                                       : !ok && reason.find(role.reason) != std::string::npos;
                if (!right && wrong[r]++ == 0) firstWrong[r] = (ok ? "succeeded, reason '" : "failed, reason '") + reason + "'";
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t r = 0; r < std::size(roles); ++r) {
        EXPECT_EQ(wrong[r], 0) << "the thread that " << roles[r].name << ": " << firstWrong[r];
    }
}

}  // namespace
