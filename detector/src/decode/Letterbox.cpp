#include "decode/Letterbox.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace korva::detail {
namespace {

// 8-bit value -> value / 255 as float.
const std::array<float, 256>& UnitLut() {
    static const std::array<float, 256> lut = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) t[i] = static_cast<float>(i) / 255.0f;
        return t;
    }();
    return lut;
}

}  // namespace

LetterboxGeometry ComputeLetterbox(cv::Size frame, cv::Size input) {
    LetterboxGeometry g;
    g.frame = frame;
    g.input = input;
    g.scale = std::min(static_cast<double>(input.width) / frame.width,
                       static_cast<double>(input.height) / frame.height);
    g.scaled.width = std::clamp(static_cast<int>(std::lround(frame.width * g.scale)), 1, input.width);
    g.scaled.height =
        std::clamp(static_cast<int>(std::lround(frame.height * g.scale)), 1, input.height);
    g.padX = (input.width - g.scaled.width) / 2;
    g.padY = (input.height - g.scaled.height) / 2;
    return g;
}

cv::Rect2d MapToFrame(double cx, double cy, double w, double h, const LetterboxGeometry& g) {
    const double x0 = std::clamp((cx - w / 2 - g.padX) / g.scale, 0.0, double(g.frame.width));
    const double y0 = std::clamp((cy - h / 2 - g.padY) / g.scale, 0.0, double(g.frame.height));
    const double x1 = std::clamp((cx + w / 2 - g.padX) / g.scale, 0.0, double(g.frame.width));
    const double y1 = std::clamp((cy + h / 2 - g.padY) / g.scale, 0.0, double(g.frame.height));
    return {x0, y0, std::max(0.0, x1 - x0), std::max(0.0, y1 - y0)};
}

void MakeInputBlob(const cv::Mat& frame, const LetterboxGeometry& g, LetterboxScratch& scratch) {
    CV_Assert(frame.depth() == CV_8U);
    const int channels = frame.channels();
    CV_Assert(channels == 1 || channels == 3 || channels == 4);

    const cv::Mat* bgr = &frame;
    if (frame.size() != g.scaled) {
        cv::resize(frame, scratch.resized, g.scaled, 0, 0, cv::INTER_LINEAR);
        bgr = &scratch.resized;
    }
    if (channels == 1) {
        cv::cvtColor(*bgr, scratch.bgr, cv::COLOR_GRAY2BGR);
        bgr = &scratch.bgr;
    } else if (channels == 4) {
        cv::cvtColor(*bgr, scratch.bgr, cv::COLOR_BGRA2BGR);
        bgr = &scratch.bgr;
    }

    const int H = g.input.height;
    const int W = g.input.width;
    const int dims[] = {1, 3, H, W};
    scratch.blob.create(4, dims, CV_32F);
    float* r = scratch.blob.ptr<float>();
    float* gch = r + static_cast<std::size_t>(H) * W;
    float* b = gch + static_cast<std::size_t>(H) * W;

    const auto& lut = UnitLut();
    const float pad = lut[kPadValue];
    std::fill(r, r + 3 * static_cast<std::size_t>(H) * W, pad);
    for (int y = 0; y < g.scaled.height; ++y) {
        const unsigned char* src = bgr->ptr<unsigned char>(y);
        const std::size_t row = static_cast<std::size_t>(y + g.padY) * W + g.padX;
        float* rr = r + row;
        float* gg = gch + row;
        float* bb = b + row;
        for (int x = 0; x < g.scaled.width; ++x, src += 3) {
            bb[x] = lut[src[0]];
            gg[x] = lut[src[1]];
            rr[x] = lut[src[2]];
        }
    }
}

}  // namespace korva::detail
