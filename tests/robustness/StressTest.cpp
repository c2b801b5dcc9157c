// Many inference threads on one detector while another thread keeps loading
// and releasing the model, or changing its settings.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RobustnessSupport.h"
#include "korva/KorvaCustomWD.h"

namespace korva::robustness {
namespace {

constexpr int kThreads = 8;
constexpr int kFramesPerThread = 200;
constexpr int kDistinctFrames = 24;
constexpr float kThreshold = 0.3f;

struct WorkerTally {
    int matched = 0;        // equal to the sequential result, not empty
    int emptyWhileOff = 0;  // empty while the model was (possibly) released
    int whileLoaded = 0;    // calls that ran entirely while the model stayed loaded
    int mismatched = 0;     // anything else
    std::string firstMismatch;
};

TEST(StressTest, InferenceThreadsWhileAnotherThreadCyclesInitializeAndDestroy) {
    const std::string folder = ModelDir("v8_nc3").string();
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(folder, kThreshold, labelMap)) << detector.LastError();

    // Frames of several sizes and channel layouts, with their sequential results.
    std::vector<cv::Mat> frames;
    std::vector<std::vector<CustomObject>> expected;
    static const int kTypes[] = {CV_8UC3, CV_8UC1, CV_8UC4};
    int nonEmptyReferences = 0;
    for (int i = 0; i < kDistinctFrames; ++i) {
        frames.push_back(NoiseFrame(48 + 13 * i, 64 + 29 * (i % 7), kTypes[i % 3], 1000u + i));
        expected.push_back(detector.RunInference(frames.back(), "cam"));
        nonEmptyReferences += expected.back().empty() ? 0 : 1;
    }
    // A run of empty results proves nothing; the model finds something on most noise frames.
    ASSERT_GE(nonEmptyReferences, kDistinctFrames / 2);

    // Odd while the model is loaded and stays loaded; bumped before each
    // Destroy and after each Initialize.
    std::atomic<unsigned> epoch{1};
    std::atomic<bool> workersDone{false};
    std::atomic<int> cycles{0};
    std::atomic<int> cyclerFailures{0};
    std::string cyclerError;
    std::thread cycler([&] {
        while (!workersDone.load()) {
            // Leave the model up for a moment so that inferences reach it,
            // reload it while it serves, then release it.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            std::string reload;
            if (!detector.Initialize(folder, kThreshold, reload)) {
                ++cyclerFailures;
                cyclerError = detector.LastError();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            ++epoch;
            detector.Destroy();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::string map;
            if (!detector.Initialize(folder, kThreshold, map)) {
                ++cyclerFailures;
                cyclerError = detector.LastError();
                break;
            }
            ++epoch;
            ++cycles;
        }
    });

    std::vector<WorkerTally> tallies(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            WorkerTally& tally = tallies[static_cast<std::size_t>(t)];
            for (int k = 0; k < kFramesPerThread; ++k) {
                const std::size_t f = static_cast<std::size_t>((t * 7 + k * (t + 1)) % kDistinctFrames);
                // Spread the calls over many load/release cycles.
                std::this_thread::sleep_for(std::chrono::microseconds(1000));
                const unsigned before = epoch.load();
                const std::vector<CustomObject> got = detector.RunInference(frames[f], "cam");
                const bool stayedLoaded = before % 2 == 1 && epoch.load() == before;
                tally.whileLoaded += stayedLoaded ? 1 : 0;
                if (got.empty() && (!stayedLoaded || expected[f].empty())) {
                    ++tally.emptyWhileOff;
                } else if (SameDetections(got, expected[f])) {
                    ++tally.matched;
                } else {
                    if (tally.mismatched++ == 0) {
                        tally.firstMismatch = "frame " + std::to_string(f) + ": " +
                                              std::to_string(got.size()) + " detections, expected " +
                                              std::to_string(expected[f].size());
                    }
                }
            }
        });
    }
    for (std::thread& w : workers) w.join();
    workersDone = true;
    cycler.join();

    ASSERT_EQ(cyclerFailures.load(), 0) << cyclerError;
    WorkerTally total;
    for (const WorkerTally& t : tallies) {
        total.matched += t.matched;
        total.emptyWhileOff += t.emptyWhileOff;
        total.mismatched += t.mismatched;
        total.whileLoaded += t.whileLoaded;
        EXPECT_EQ(t.mismatched, 0) << t.firstMismatch;
    }
    EXPECT_EQ(total.matched + total.emptyWhileOff + total.mismatched, kThreads * kFramesPerThread);
    // The run must have exercised both states.
    EXPECT_GT(total.matched, 0);
    EXPECT_GT(total.whileLoaded, 0);
    EXPECT_GT(cycles.load(), 1);
    std::printf("[ stress   ] %d inferences: %d equal to the sequential result, %d empty, "
                "%d wrong (%d ran while the model stayed loaded); %d Initialize/Destroy cycles\n",
                kThreads * kFramesPerThread, total.matched, total.emptyWhileOff, total.mismatched,
                total.whileLoaded, cycles.load());

    // The cycler leaves the model loaded: every frame gives its sequential result again.
    for (std::size_t f = 0; f < frames.size(); ++f) {
        EXPECT_TRUE(SameDetections(detector.RunInference(frames[f], "cam"), expected[f])) << "frame " << f;
    }
}

// A UI thread changes the thresholds while camera threads infer.
struct LiveCase {
    const char* name;
    // Hands `record` to the detector; false when it was not accepted.
    bool (*change)(KorvaCustomWD& detector, const CustomParams& record);
    bool live;  // the change reaches the frames
};

CustomParams WithThresholds(CustomParams record, double confidence, double iou) {
    for (ValueListEntry& e : record.valueListEntries) {
        if (e.textA == "confidence_threshold") e.wideValues = {confidence};
        if (e.textA == "nms_iou_threshold") e.wideValues = {iou};
    }
    return record;
}

class LiveSettingsStress : public ::testing::TestWithParam<LiveCase> {};

// Every frame is inspected with one whole setting, old or new: never a mix of
// the two thresholds, never a setting half replaced.
TEST_P(LiveSettingsStress, EveryFrameSeesOneWholeSetting) {
    const LiveCase& c = GetParam();
    KorvaCustomWD detector;
    std::string labelMap;
    ASSERT_TRUE(detector.Initialize(ModelDir("v8_nc3").string(), kThreshold, labelMap)) << detector.LastError();
    CustomParams record;
    ASSERT_TRUE(detector.ConfigureParameters(record));
    const CustomParams settings[2] = {WithThresholds(record, kThreshold, 0.45),
                                      WithThresholds(record, 0.5, 0.7)};

    // Sequential results under each setting; they must tell the settings apart.
    std::vector<cv::Mat> frames;
    std::vector<std::vector<CustomObject>> expected[2];
    static const int kTypes[] = {CV_8UC3, CV_8UC1, CV_8UC4};
    for (int i = 0; i < kDistinctFrames; ++i) {
        frames.push_back(NoiseFrame(48 + 13 * i, 64 + 29 * (i % 7), kTypes[i % 3], 2000u + i));
    }
    int distinct = 0;
    for (int s = 1; s >= 0; --s) {
        KorvaCustomWD::ParameterReport report;
        ASSERT_TRUE(detector.ApplyParameters(settings[s], report)) << detector.LastError();
        for (const cv::Mat& f : frames) expected[s].push_back(detector.RunInference(f, "cam"));
    }
    for (int i = 0; i < kDistinctFrames; ++i) {
        distinct += SameDetections(expected[0][i], expected[1][i]) ? 0 : 1;
    }
    ASSERT_GE(distinct, kDistinctFrames / 2);

    std::atomic<bool> workersDone{false};
    std::atomic<int> changes{0};
    std::atomic<int> refused{0};
    std::thread ui([&] {
        for (int k = 1; !workersDone.load(); ++k) {
            if (!c.change(detector, settings[k % 2])) ++refused;
            ++changes;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });

    std::atomic<int> matched[2] = {{0}, {0}};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int k = 0; k < kFramesPerThread; ++k) {
                const std::size_t f = static_cast<std::size_t>((t * 5 + k * (t + 2)) % kDistinctFrames);
                const std::vector<CustomObject> got = detector.RunInference(frames[f], "cam");
                if (SameDetections(got, expected[0][f])) {
                    ++matched[0];
                } else if (SameDetections(got, expected[1][f])) {
                    ++matched[1];
                } else {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& w : workers) w.join();
    workersDone = true;
    ui.join();

    EXPECT_EQ(refused.load(), 0) << detector.LastError();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(changes.load(), 1);
    // Frames equal under both settings count as the first; the second shows
    // only when the changes reach the frames.
    if (c.live) {
        EXPECT_GT(matched[1].load(), 0);
    } else {
        EXPECT_EQ(matched[1].load(), 0);
    }
    const auto stats = detector.Statistics();
    EXPECT_EQ(stats.inferenceFailures, 0u);
    EXPECT_EQ(stats.framesRefusedNoModel + stats.framesRefusedUnsupported, 0u);
    std::printf("[ stress   ] %s: %d inferences during %d changes: %d under the first setting, "
                "%d under the second, %d neither\n",
                c.name, kThreads * kFramesPerThread, changes.load(), matched[0].load(), matched[1].load(),
                wrong.load());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, LiveSettingsStress,
    ::testing::Values(
        LiveCase{"ApplyParameters",
                 [](KorvaCustomWD& d, const CustomParams& r) {
                     KorvaCustomWD::ParameterReport report;
                     return d.ApplyParameters(r, report);
                 },
                 true},
        // The base class forbids SetParameters beside other calls; a host that
        // does it anyway only stores a record the frames never read.
        LiveCase{"SetParametersAlone",
                 [](KorvaCustomWD& d, const CustomParams& r) { return d.SetParameters(r); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korva::robustness
