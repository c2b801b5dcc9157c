#include "Annotation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

#include <opencv2/imgproc.hpp>

namespace korva::detect {

namespace {

// Distinct, saturated colours (BGR).
const cv::Scalar kPalette[] = {
    {56, 56, 255},  {151, 157, 255}, {31, 112, 255}, {29, 178, 255}, {49, 210, 207},
    {10, 249, 72},  {23, 204, 146},  {134, 219, 61}, {52, 147, 26},  {187, 212, 0},
    {168, 153, 44}, {255, 194, 0},   {147, 69, 52},  {255, 115, 100}, {236, 24, 0},
    {255, 56, 132}, {133, 0, 82},    {255, 56, 203}, {200, 149, 255}, {199, 55, 255}};

double Luminance(const cv::Scalar& bgr) { return 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2]; }

}  // namespace

double RelativeLuminance(const cv::Scalar& bgr) {
    auto linear = [](double v) {
        const double c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.0722 * linear(bgr[0]) + 0.7152 * linear(bgr[1]) + 0.2126 * linear(bgr[2]);
}

double ContrastRatio(const cv::Scalar& a, const cv::Scalar& b) {
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

namespace {

}  // namespace

cv::Scalar ClassColor(int classId) {
    const int n = static_cast<int>(std::size(kPalette));
    return kPalette[((classId % n) + n) % n];
}

cv::Scalar TextColorOn(const cv::Scalar& background) {
    const cv::Scalar black(0, 0, 0);
    const cv::Scalar white(255, 255, 255);
    return ContrastRatio(background, black) >= ContrastRatio(background, white) ? black : white;
}

void Annotate(cv::Mat& image, const std::vector<Detection>& detections) {
    if (image.empty()) return;
    const int side = std::max(image.cols, image.rows);
    const int thickness = std::max(1, side / 500);
    const double fontScale = std::max(0.4, side / 1600.0);
    const int fontThickness = std::max(1, thickness / 2 + (side >= 1200 ? 1 : 0));
    const int font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Rect frame(0, 0, image.cols, image.rows);

    auto paint = [&](const cv::Scalar& bgr) {
        if (image.channels() == 1) return cv::Scalar::all(Luminance(bgr));
        return image.channels() == 4 ? cv::Scalar(bgr[0], bgr[1], bgr[2], 255) : bgr;
    };

    for (const Detection& d : detections) {
        const cv::Rect box = d.box & frame;
        if (box.width <= 0 || box.height <= 0) continue;
        const cv::Scalar color = ClassColor(d.classId);
        cv::rectangle(image, box, paint(color), thickness, cv::LINE_AA);

        char conf[16];
        std::snprintf(conf, sizeof conf, " %.2f", static_cast<double>(d.confidence));
        const std::string label = (d.className.empty() ? std::to_string(d.classId) : d.className) + conf;
        int baseline = 0;
        const cv::Size text = cv::getTextSize(label, font, fontScale, fontThickness, &baseline);
        const int pad = std::max(2, thickness);
        const int labelHeight = text.height + baseline + 2 * pad;
        // Above the box when it fits, else inside its top edge.
        int top = box.y - labelHeight;
        if (top < 0) top = box.y;
        int left = std::min(box.x, std::max(0, image.cols - (text.width + 2 * pad)));
        const cv::Rect labelBox = cv::Rect(left, top, text.width + 2 * pad, labelHeight) & frame;
        cv::rectangle(image, labelBox, paint(color), cv::FILLED);
        cv::putText(image, label, cv::Point(left + pad, top + pad + text.height), font, fontScale,
                    paint(TextColorOn(color)), fontThickness, cv::LINE_AA);
    }
}

}  // namespace korva::detect
