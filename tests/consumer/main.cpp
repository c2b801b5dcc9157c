// Creates a detector through the installed headers and library. With a model
// folder argument it loads the model and runs one frame; without, it checks
// that a missing folder is refused with a reason. Exit status 0 on success.
#include <iostream>
#include <string>

#include <opencv2/core.hpp>

#include "korva/KorvaCustomWD.h"

int main(int argc, char** argv) {
    KorvaCustomWD detector;
    CustomParams params;
    if (!detector.ConfigureParameters(params)) {
        std::cerr << "ConfigureParameters failed\n";
        return 1;
    }
    std::string labels;
    if (argc < 2) {
        if (detector.Initialize("no/such/model/folder", 0.5f, labels) || detector.LastError().empty()) {
            std::cerr << "a missing model folder was not refused with a reason\n";
            return 1;
        }
        std::cout << "refused as expected: " << detector.LastError() << "\n";
        return 0;
    }
    if (!detector.Initialize(argv[1], 0.5f, labels)) {
        std::cerr << "Initialize failed: " << detector.LastError() << "\n";
        return 1;
    }
    const cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(114, 114, 114));
    const auto found = detector.RunInference(frame, "consumer");
    std::cout << "loaded classes '" << labels << "', " << found.size() << " detections on a gray frame\n";
    return detector.Destroy() ? 0 : 1;
}
