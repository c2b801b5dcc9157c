// Locating the model and label files of a model folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "model/ModelFolder.h"
#include "support/FileBytes.h"

namespace {

namespace fs = std::filesystem;
using korva::detail::LabelFileRule;
using korva::detail::LocateModelFiles;
using korva::detail::ModelFiles;
using korva::detail::ReadFileBytes;
using korva::test::TempDir;
using korva::test::WriteFile;

struct FolderCase {
    std::string name;
    std::vector<std::string> files;  // names ending in '/' are directories
    std::string model;               // expected model file name, "" for an error
    std::string labels;              // expected label file name, "" for none
    std::string errorWord;
    LabelFileRule rule = LabelFileRule::kRequired;
};

class LocateModelFilesTest : public testing::TestWithParam<FolderCase> {};

TEST_P(LocateModelFilesTest, FindsTheFilesOrSaysWhyNot) {
    const FolderCase& c = GetParam();
    TempDir dir;
    for (const std::string& f : c.files) {
        if (!f.empty() && f.back() == '/') {
            fs::create_directories(dir.path() / f.substr(0, f.size() - 1));
        } else {
            WriteFile(dir.path() / f, "x");
        }
    }
    ModelFiles files;
    std::string error;
    const bool ok = LocateModelFiles(dir.path().string(), files, error, c.rule);
    if (c.model.empty()) {
        EXPECT_FALSE(ok);
        EXPECT_NE(error.find(c.errorWord), std::string::npos) << error;
    } else if (c.labels.empty()) {
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(files.model, dir.path() / c.model);
        EXPECT_TRUE(files.labels.empty()) << files.labels;
        EXPECT_NE(files.noLabelFile.find("no label file"), std::string::npos) << files.noLabelFile;
    } else {
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(files.model, dir.path() / c.model);
        EXPECT_EQ(files.labels, dir.path() / c.labels);
        EXPECT_EQ(files.noLabelFile, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, LocateModelFilesTest,
    testing::Values(
        FolderCase{"Standard", {"model.onnx", "labels.txt"}, "model.onnx", "labels.txt", ""},
        FolderCase{"OnlyOnnxOfAnyName", {"net.onnx", "labels.txt"}, "net.onnx", "labels.txt", ""},
        FolderCase{"UpperCaseExtension", {"NET.ONNX", "labels.txt"}, "NET.ONNX", "labels.txt", ""},
        FolderCase{"NoOnnx", {"labels.txt", "model.bin"}, "", "", "no ONNX model"},
        FolderCase{"TwoOnnxWithoutModelOnnx", {"a.onnx", "b.onnx", "labels.txt"}, "", "", "2 *.onnx"},
        FolderCase{"TwoOnnxWithModelOnnx", {"a.onnx", "model.onnx", "labels.txt"}, "model.onnx",
                   "labels.txt", ""},
        FolderCase{"ModelOnnxIsADirectory", {"model.onnx/", "labels.txt"}, "", "", "model.onnx"},
        FolderCase{"ModelOnnxDirectoryBesideAnotherOnnx", {"model.onnx/", "a.onnx", "labels.txt"},
                   "", "", "not a regular file"},
        FolderCase{"OnnxDirectoryIgnored", {"sub.onnx/", "net.onnx", "labels.txt"}, "net.onnx",
                   "labels.txt", ""},
        FolderCase{"LabelsTxtFirst", {"model.onnx", "labels.txt", "classes.txt", "coco.names"},
                   "model.onnx", "labels.txt", ""},
        FolderCase{"ClassesTxtSecond", {"model.onnx", "classes.txt", "coco.names"}, "model.onnx",
                   "classes.txt", ""},
        FolderCase{"OnlyNamesFile", {"model.onnx", "coco.names"}, "model.onnx", "coco.names", ""},
        FolderCase{"TwoNamesFiles", {"model.onnx", "a.names", "b.names"}, "", "", "2 *.names"},
        FolderCase{"NoLabelFile", {"model.onnx", "readme.txt"}, "", "", "no label file"},
        FolderCase{"LabelsTxtIsADirectory", {"model.onnx", "labels.txt/", "classes.txt"}, "", "",
                   "not a regular file"},
        FolderCase{"OptionalLabelsMissing", {"model.onnx", "readme.txt"}, "model.onnx", "", "",
                   LabelFileRule::kOptional},
        FolderCase{"OptionalLabelsPresent", {"model.onnx", "classes.txt"}, "model.onnx",
                   "classes.txt", "", LabelFileRule::kOptional},
        FolderCase{"OptionalLabelsStillNeedOneNamesFile", {"model.onnx", "a.names", "b.names"}, "",
                   "", "2 *.names", LabelFileRule::kOptional},
        FolderCase{"OptionalLabelsTxtIsADirectory", {"model.onnx", "labels.txt/"}, "", "",
                   "not a regular file", LabelFileRule::kOptional},
        FolderCase{"OptionalLabelsStillNeedTheModel", {"labels.txt"}, "", "", "no ONNX model",
                   LabelFileRule::kOptional}),
    [](const testing::TestParamInfo<FolderCase>& info) { return info.param.name; });

TEST(LocateModelFiles, MissingFolder) {
    std::string missing;
    {
        TempDir dir;
        missing = (dir.path() / "absent").string();
    }
    ModelFiles files;
    std::string error;
    EXPECT_FALSE(LocateModelFiles(missing, files, error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
    EXPECT_FALSE(LocateModelFiles("", files, error));
    EXPECT_NE(error.find("empty"), std::string::npos) << error;
}

TEST(LocateModelFiles, FileInsteadOfFolder) {
    TempDir dir;
    WriteFile(dir.path() / "model.onnx", "x");
    ModelFiles files;
    std::string error;
    EXPECT_FALSE(LocateModelFiles((dir.path() / "model.onnx").string(), files, error));
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
}

TEST(LocateModelFiles, Utf8FolderName) {
    TempDir dir;
    const std::string sub = "mod\xC3\xA8le";
    fs::create_directories(dir.path() / fs::u8path(sub));
    WriteFile(dir.path() / fs::u8path(sub) / "model.onnx", "x");
    WriteFile(dir.path() / fs::u8path(sub) / "labels.txt", "x");
    ModelFiles files;
    std::string error;
    EXPECT_TRUE(LocateModelFiles(dir.path().string() + "/" + sub, files, error)) << error;
}

TEST(ReadFileBytes, ReadsWholeFilesWithinTheLimit) {
    TempDir dir;
    const std::string content("abc\0\xFF\r\n", 7);
    WriteFile(dir.path() / "f.bin", content);
    std::vector<unsigned char> bytes;
    std::string error;
    ASSERT_TRUE(ReadFileBytes(dir.path() / "f.bin", 7, bytes, error)) << error;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), content);

    EXPECT_FALSE(ReadFileBytes(dir.path() / "f.bin", 6, bytes, error));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    EXPECT_FALSE(ReadFileBytes(dir.path() / "absent", 100, bytes, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ReadFileBytes(dir.path(), 1u << 20, bytes, error));

    WriteFile(dir.path() / "empty", "");
    ASSERT_TRUE(ReadFileBytes(dir.path() / "empty", 100, bytes, error)) << error;
    EXPECT_TRUE(bytes.empty());
}

}  // namespace
