// Outputs written aside and renamed into place when complete, so a file
// under its final name is always whole: "out.jsonl" is written as
// "out.part.jsonl" (the extension kept, as OpenCV's writers choose the
// format by it) and renamed by Commit.
//
// TextOutput is one text file (or standard output) shared by every source
// thread; Write is safe from any thread and keeps each call's text whole.
#pragma once

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace korva::detect {

// Creates `path` for writing only when nothing, not even a symbolic link,
// is there yet, so a file the tool did not create is never written or
// removed; null with `error` otherwise.
std::FILE* CreateExclusive(const std::filesystem::path& path, std::string& error);

// What tells one file from another: device and inode (volume and file
// index on Windows), symbolic links followed, for a file that exists; else
// its absolute normalised path with the existing part resolved.
std::string FileKey(const std::filesystem::path& path);

// Whether `a` and `b` name one file: by identity (device and inode, symbolic
// links followed) when both exist, else by their absolute normalised paths
// with the existing part of each resolved.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// A path the run reads or writes, with what it is for messages.
struct NamedPath {
    std::filesystem::path path;
    std::string role;  // "input video", "JSON Lines output", ...
    bool part = false; // a part file, which must not exist yet
};

// Refuses outputs that name an input or another output (an output's part
// file included), and part files that already exist; false with a one-line
// `error`.
bool CheckOutputsApart(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                       std::string& error);

// Where `finalPath` is written until it is complete.
std::filesystem::path PartPath(const std::filesystem::path& finalPath);

// Renames `part` to `finalPath`, replacing it; false with `error`.
bool CommitPart(const std::filesystem::path& part, const std::filesystem::path& finalPath,
                std::string& error);

// Creates `dir` if needed and checks that a file can be written in it (a
// probe file of a fresh name, created exclusively and removed).
bool CheckWritableFolder(const std::filesystem::path& dir, std::string& error);

class TextOutput {
public:
    TextOutput() = default;
    ~TextOutput();  // discards an uncommitted file
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    // Opens `path` aside ("-": standard output); false with `error`.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return file_ != nullptr; }
    // Appends `text`; a write error is kept for Commit to report.
    void Write(const std::string& text);
    // Flushes, closes and renames into place; false with `error` when any
    // write failed (the part file is then removed).
    bool Commit(std::string& error);
    // Closes and removes the part file.
    void Discard();

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;  // guarded by mutex_ during Write
    bool toStdout_ = false;
    bool writeFailed_ = false;   // guarded by mutex_
    std::filesystem::path final_;
    std::filesystem::path part_;
};

}  // namespace korva::detect
