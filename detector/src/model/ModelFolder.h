// Locating the files of a model folder and reading them into memory.
#pragma once

#include <filesystem>
#include <string>

namespace korva::detail {

struct ModelFiles {
    std::filesystem::path model;   // the ONNX network
    std::filesystem::path labels;  // the class-name file; empty when there is none
    std::string noLabelFile;       // why `labels` is empty; "" when it is set
};

// Whether a folder without a label file is refused. A model whose metadata
// carries its class names needs none.
enum class LabelFileRule { kRequired, kOptional };

// Finds the files of the model folder `folder` (a UTF-8 path):
//   model:  "model.onnx", else the only "*.onnx" file;
//   labels: "labels.txt", else "classes.txt", else the only "*.names" file.
// A folder with no label file at all is refused under kRequired; under
// kOptional it succeeds with `labels` empty and the reason in `noLabelFile`.
// Ambiguous or unreadable candidates are refused under either rule. Never
// throws; on failure returns false with a one-line reason in `error`.
bool LocateModelFiles(const std::string& folder, ModelFiles& files, std::string& error,
                      LabelFileRule labels = LabelFileRule::kRequired);

}  // namespace korva::detail
