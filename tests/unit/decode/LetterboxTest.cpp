// Letterbox geometry, box mapping back to the frame and the input blob.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <opencv2/core.hpp>

#include "decode/Letterbox.h"

namespace {

using korva::detail::ComputeLetterbox;
using korva::detail::LetterboxGeometry;
using korva::detail::LetterboxScratch;
using korva::detail::MakeInputBlob;
using korva::detail::MapToFrame;

struct GeometryCase {
    cv::Size frame;
    cv::Size input;
};

std::string SizeName(cv::Size s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

class LetterboxGeometryTest : public testing::TestWithParam<GeometryCase> {};

TEST_P(LetterboxGeometryTest, ScaledFrameFitsAndIsCentred) {
    const auto [frame, input] = GetParam();
    const LetterboxGeometry g = ComputeLetterbox(frame, input);
    EXPECT_EQ(g.frame, frame);
    EXPECT_EQ(g.input, input);
    EXPECT_GT(g.scaled.width, 0);
    EXPECT_GT(g.scaled.height, 0);
    EXPECT_LE(g.scaled.width, input.width);
    EXPECT_LE(g.scaled.height, input.height);
    // One side fills the input; the aspect ratio is kept to within rounding.
    EXPECT_TRUE(g.scaled.width == input.width || g.scaled.height == input.height);
    EXPECT_NEAR(g.scaled.width, frame.width * g.scale, 0.5 + 1e-9);
    EXPECT_NEAR(g.scaled.height, frame.height * g.scale, 0.5 + 1e-9);
    const int extraX = input.width - g.scaled.width;
    const int extraY = input.height - g.scaled.height;
    EXPECT_EQ(g.padX, extraX / 2);
    EXPECT_EQ(g.padY, extraY / 2);
}

TEST_P(LetterboxGeometryTest, BoxRoundTripsThroughTheInput) {
    const auto [frame, input] = GetParam();
    const LetterboxGeometry g = ComputeLetterbox(frame, input);
    // Where the resized frame really lies in the input: per-axis factors.
    const double sx = double(g.scaled.width) / frame.width;
    const double sy = double(g.scaled.height) / frame.height;
    const double boxes[][4] = {{0.1, 0.2, 0.5, 0.6}, {0.0, 0.0, 1.0, 1.0}, {0.7, 0.05, 0.25, 0.9}};
    for (const auto& b : boxes) {
        const double x = b[0] * frame.width, y = b[1] * frame.height;
        const double w = b[2] * frame.width, h = b[3] * frame.height;
        const double cx = g.padX + (x + w / 2) * sx, cy = g.padY + (y + h / 2) * sy;
        const cv::Rect2d r = MapToFrame(cx, cy, w * sx, h * sy, g);
        const double tol = 1.0 / g.scale + 1e-9;
        EXPECT_NEAR(r.x, x, tol);
        EXPECT_NEAR(r.y, y, tol);
        EXPECT_NEAR(r.x + r.width, x + w, tol);
        EXPECT_NEAR(r.y + r.height, y + h, tol);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LetterboxGeometryTest,
    testing::Values(GeometryCase{{1, 1}, {416, 416}}, GeometryCase{{5, 5}, {416, 416}},
                    GeometryCase{{640, 480}, {416, 416}}, GeometryCase{{1920, 1080}, {416, 416}},
                    GeometryCase{{3840, 2160}, {416, 416}}, GeometryCase{{7680, 4320}, {416, 416}},
                    GeometryCase{{480, 4000}, {416, 416}}, GeometryCase{{4000, 300}, {416, 416}},
                    GeometryCase{{1, 1}, {96, 64}}, GeometryCase{{5, 5}, {96, 64}},
                    GeometryCase{{640, 480}, {96, 64}}, GeometryCase{{1920, 1080}, {96, 64}},
                    GeometryCase{{3840, 2160}, {96, 64}}, GeometryCase{{7680, 4320}, {96, 64}},
                    GeometryCase{{480, 4000}, {96, 64}}, GeometryCase{{4000, 300}, {96, 64}},
                    GeometryCase{{96, 64}, {96, 64}}, GeometryCase{{97, 63}, {96, 64}}),
    [](const testing::TestParamInfo<GeometryCase>& info) {
        return "Frame" + SizeName(info.param.frame) + "_Input" + SizeName(info.param.input);
    });

TEST(LetterboxMapToFrame, ClipsBoxesToTheFrame) {
    // 640x480 into 416x416: scale 0.65, 416x312 placed 52 rows down.
    const LetterboxGeometry g = ComputeLetterbox({640, 480}, {416, 416});
    ASSERT_EQ(g.padY, 52);
    ASSERT_EQ(g.padX, 0);

    // Straddles the left edge: only the inside part remains.
    cv::Rect2d r = MapToFrame(0, 208, 100, 100, g);
    EXPECT_DOUBLE_EQ(r.x, 0.0);
    EXPECT_NEAR(r.width, 50 / 0.65, 1e-9);
    EXPECT_NEAR(r.y, (158 - 52) / 0.65, 1e-9);

    // Straddles the bottom-right corner.
    r = MapToFrame(416, 364, 40, 40, g);
    EXPECT_NEAR(r.x, 396 / 0.65, 1e-9);
    EXPECT_NEAR(r.x + r.width, 640.0, 1e-9);
    EXPECT_NEAR(r.y + r.height, 480.0, 1e-9);

    // Entirely in the top padding, and entirely right of the input.
    r = MapToFrame(208, 20, 100, 20, g);
    EXPECT_EQ(r.height, 0.0);
    r = MapToFrame(600, 208, 50, 50, g);
    EXPECT_EQ(r.width, 0.0);

    // Covers far more than the frame.
    r = MapToFrame(208, 208, 5000, 5000, g);
    EXPECT_EQ(r, cv::Rect2d(0, 0, 640, 480));
}

// Value of the blob at (channel, y, x).
float At(const cv::Mat& blob, int c, int y, int x) {
    const int idx[] = {0, c, y, x};
    return blob.at<float>(idx);
}

TEST(LetterboxBlob, PaddingIsGrayAndChannelsAreRgb) {
    const cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(10, 20, 30));  // B, G, R
    const LetterboxGeometry g = ComputeLetterbox(frame.size(), {416, 416});
    LetterboxScratch s;
    MakeInputBlob(frame, g, s);
    ASSERT_EQ(s.blob.dims, 4);
    EXPECT_EQ(s.blob.size[0], 1);
    EXPECT_EQ(s.blob.size[1], 3);
    EXPECT_EQ(s.blob.size[2], 416);
    EXPECT_EQ(s.blob.size[3], 416);
    ASSERT_EQ(s.blob.type(), CV_32F);

    const float pad = 114.0f / 255.0f;
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(At(s.blob, c, 0, 0), pad);
        EXPECT_FLOAT_EQ(At(s.blob, c, g.padY - 1, 200), pad);
        EXPECT_FLOAT_EQ(At(s.blob, c, g.padY + g.scaled.height, 200), pad);
        EXPECT_FLOAT_EQ(At(s.blob, c, 415, 415), pad);
    }
    for (int y : {g.padY, 208, g.padY + g.scaled.height - 1}) {
        for (int x : {0, 208, 415}) {
            EXPECT_FLOAT_EQ(At(s.blob, 0, y, x), 30.0f / 255.0f);
            EXPECT_FLOAT_EQ(At(s.blob, 1, y, x), 20.0f / 255.0f);
            EXPECT_FLOAT_EQ(At(s.blob, 2, y, x), 10.0f / 255.0f);
        }
    }
}

TEST(LetterboxBlob, GrayAndBgraFramesMatchTheirBgrEquivalent) {
    const LetterboxGeometry g = ComputeLetterbox({300, 200}, {96, 64});
    cv::Mat bgr(200, 300, CV_8UC3);
    cv::randu(bgr, 0, 256);
    cv::Mat bgra;
    cv::Mat alpha(200, 300, CV_8UC1, cv::Scalar(7));
    cv::merge(std::vector<cv::Mat>{bgr, alpha}, bgra);
    LetterboxScratch a, b;
    MakeInputBlob(bgr, g, a);
    MakeInputBlob(bgra, g, b);
    EXPECT_EQ(cv::norm(a.blob, b.blob, cv::NORM_INF), 0.0) << "BGRA differs from BGR";

    cv::Mat gray(200, 300, CV_8UC1);
    cv::randu(gray, 0, 256);
    cv::Mat gray3;
    cv::merge(std::vector<cv::Mat>{gray, gray, gray}, gray3);
    MakeInputBlob(gray, g, a);
    MakeInputBlob(gray3, g, b);
    EXPECT_EQ(cv::norm(a.blob, b.blob, cv::NORM_INF), 0.0) << "gray differs from BGR";
}

TEST(LetterboxBlob, RoiViewEqualsItsCopy) {
    cv::Mat big(500, 700, CV_8UC3);
    cv::randu(big, 0, 256);
    const cv::Mat roi = big(cv::Rect(33, 41, 321, 197));
    ASSERT_FALSE(roi.isContinuous());
    const cv::Mat copy = roi.clone();
    for (cv::Size input : {cv::Size(96, 64), cv::Size(416, 416), cv::Size(321, 197)}) {
        const LetterboxGeometry g = ComputeLetterbox(roi.size(), input);
        LetterboxScratch a, b;
        MakeInputBlob(roi, g, a);
        MakeInputBlob(copy, g, b);
        EXPECT_EQ(cv::norm(a.blob, b.blob, cv::NORM_INF), 0.0) << SizeName(input);
    }
}

TEST(LetterboxBlob, ScratchReuseAcrossSizes) {
    // A scratch used for a large frame must not leak stale pixels into a
    // smaller one.
    LetterboxScratch reused, fresh;
    const cv::Mat large(480, 640, CV_8UC3, cv::Scalar(255, 255, 255));
    MakeInputBlob(large, ComputeLetterbox(large.size(), {96, 64}), reused);
    const cv::Mat tall(400, 50, CV_8UC3, cv::Scalar(0, 0, 0));
    const LetterboxGeometry g = ComputeLetterbox(tall.size(), {96, 64});
    MakeInputBlob(tall, g, reused);
    MakeInputBlob(tall, g, fresh);
    EXPECT_EQ(cv::norm(reused.blob, fresh.blob, cv::NORM_INF), 0.0);
}

}  // namespace
