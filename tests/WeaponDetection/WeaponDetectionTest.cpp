// Tests of the weapon detector: nine without a model, seven against the demo
// model folder (skipped when it is missing).
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "TestAssetPaths.h"
#include "WeaponDetection/SplitLabelMap.h"
#include "korva/KorvaCustomWD.h"

class WeaponUnitTest : public testing::Test {
protected:
    KorvaCustomWD detector;
};

class WeaponIntegrationTest : public testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(std::filesystem::path(kWeaponModelDir)) ||
            !std::filesystem::is_directory(std::filesystem::path(kWeaponModelDir))) {
            GTEST_SKIP() << "Weapon model not found at: " << kWeaponModelDir;
        }
        bool ok = detector.Initialize(kWeaponModelDir, 0.6f, labelMap);
        ASSERT_TRUE(ok) << "Failed to initialize Weapon detector";
        classes = SplitLabelMap(labelMap);
    }

    void TearDown() override { detector.Destroy(); }

    KorvaCustomWD detector;
    std::string labelMap;
    std::vector<std::string> classes;
};

// ---- without a model ----

TEST_F(WeaponUnitTest, EmptyFrameReturnsNoDetections) {
    cv::Mat frame;
    auto results = detector.RunInference(frame);
    EXPECT_TRUE(results.empty());
}

TEST_F(WeaponUnitTest, TinyFrameReturnsNoDetections) {
    cv::Mat frame(5, 5, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame);
    EXPECT_TRUE(results.empty());
}

TEST_F(WeaponUnitTest, UninitializedDetectorReturnsNoDetections) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame);
    EXPECT_TRUE(results.empty());
}

TEST_F(WeaponUnitTest, RunInferenceWithCameraId) {
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam_01");
    EXPECT_TRUE(results.empty());
}

TEST_F(WeaponUnitTest, ConfigureParametersReturnsValidConfig) {
    CustomParams params;
    bool result = detector.ConfigureParameters(params);
    EXPECT_TRUE(result);
}

TEST_F(WeaponUnitTest, DestroySucceeds) {
    EXPECT_TRUE(detector.Destroy());
}

TEST_F(WeaponUnitTest, DestroyCanBeCalledMultipleTimes) {
    EXPECT_TRUE(detector.Destroy());
    EXPECT_TRUE(detector.Destroy());
}

TEST_F(WeaponUnitTest, InitializeWithInvalidDirectoryFails) {
    std::string labelMap;
    bool result = detector.Initialize(R"(C:\NonExistent\Path\Model)", 0.5f, labelMap);
    EXPECT_FALSE(result);
}

TEST_F(WeaponUnitTest, OptimizeBeforeInitializeReturnsFalse) {
    EXPECT_FALSE(detector.OptimizeModel(true));
}

// ---- with the demo model: synthetic frames ----

TEST_F(WeaponIntegrationTest, InitializeProducesLabelMap) {
    EXPECT_FALSE(labelMap.empty());
    EXPECT_FALSE(classes.empty());
}

TEST_F(WeaponIntegrationTest, InferenceOnSolidFrameReturnsNoDetections) {
    cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam");
    EXPECT_TRUE(results.empty()) << "Solid gray frame should not trigger weapon detection";
}

TEST_F(WeaponIntegrationTest, InferenceOnSmallFrame) {
    cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam");
    SUCCEED();
}

TEST_F(WeaponIntegrationTest, InferenceOnLargeFrame) {
    cv::Mat frame(2160, 3840, CV_8UC3, cv::Scalar(128, 128, 128));
    auto results = detector.RunInference(frame, "test_cam");
    SUCCEED();
}

// ---- with the demo model: the test video ----

TEST_F(WeaponIntegrationTest, DetectionResultFieldsAreValid) {
    if (!std::filesystem::exists(kWeaponVideo)) {
        GTEST_SKIP() << "Weapon test video not found";
    }
    cv::VideoCapture cap(kWeaponVideo, cv::CAP_ANY);
    ASSERT_TRUE(cap.isOpened());

    // Checks every detection of the first frame that has any.
    bool found = false;
    int frameCount = 0;
    while (frameCount < 300 && !found) {
        cv::Mat frame;
        if (!cap.read(frame)) {
            break;
        }
        auto results = detector.RunInference(frame, "test_cam");
        if (!results.empty()) {
            found = true;
            for (const CustomObject& obj : results) {
                EXPECT_GE(obj.confidence, 0.0f);
                EXPECT_LE(obj.confidence, 1.0f);
                EXPECT_GE(obj.box.width, 0);
                EXPECT_GE(obj.box.height, 0);
                EXPECT_GE(obj.classId, 0);
            }
        }
        ++frameCount;
    }
    cap.release();
}

TEST_F(WeaponIntegrationTest, PerformanceBenchmark) {
    if (!std::filesystem::exists(kWeaponVideo)) {
        GTEST_SKIP() << "Weapon test video not found";
    }

    // Times inference alone (decoding excluded) over up to 100 frames; -1
    // detections marks a video that did not open.
    double avgMs = 0.0;
    int totalDetections = 0;
    {
        cv::VideoCapture cap(kWeaponVideo, cv::CAP_ANY);
        if (!cap.isOpened()) {
            totalDetections = -1;
        } else {
            int frameCount = 0;
            double totalMs = 0.0;
            while (frameCount < 100) {
                cv::Mat frame;
                if (!cap.read(frame)) {
                    break;
                }
                const auto start = std::chrono::steady_clock::now();
                totalDetections += static_cast<int>(detector.RunInference(frame).size());
                const auto end = std::chrono::steady_clock::now();
                totalMs +=
                    std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() /
                    1000000.0;
                ++frameCount;
            }
            cap.release();
            avgMs = frameCount > 0 ? totalMs / frameCount : 0.0;
        }
    }

    ASSERT_GE(totalDetections, 0) << "Video could not be opened";
    std::cout << "[Weapon] 100 frames: avg=" << avgMs << "ms/frame, " << "detections="
              << totalDetections << std::endl;
    EXPECT_LT(avgMs, 200.0) << "Average inference time exceeds 200ms";
}

// ---- with the demo model: two threads on one detector ----

TEST_F(WeaponIntegrationTest, ThreadSafetyConcurrentInference) {
    cv::Mat frame1(480, 640, CV_8UC3, cv::Scalar(100, 100, 100));
    cv::Mat frame2(480, 640, CV_8UC3, cv::Scalar(200, 200, 200));
    std::vector<CustomObject> results1;
    std::vector<CustomObject> results2;
    // Each worker writes only its own error text; the test thread reads it
    // after the join.
    std::string error1;
    std::string error2;
    const auto run = [this](const cv::Mat& frame, const char* cameraId,
                            std::vector<CustomObject>& out, std::string& error) {
        try {
            out = detector.RunInference(frame, cameraId);
        } catch (const std::exception& e) {
            error = e.what();
            if (error.empty()) {
                error = "exception without message";
            }
        } catch (...) {
            error = "unknown exception";
        }
    };

    std::thread thread1([&] { run(frame1, "cam_1", results1, error1); });
    std::thread thread2;
    std::string startError;
    try {
        thread2 = std::thread([&] { run(frame2, "cam_2", results2, error2); });
    } catch (const std::system_error& e) {
        startError = e.what();
    }
    thread1.join();
    if (thread2.joinable()) {
        thread2.join();
    }

    if (!error1.empty()) {
        ADD_FAILURE() << "RunInference on cam_1 threw: " << error1;
    }
    if (!startError.empty()) {
        FAIL() << "Could not start the second inference thread: " << startError;
    }
    if (!error2.empty()) {
        ADD_FAILURE() << "RunInference on cam_2 threw: " << error2;
    }
    SUCCEED();
}
