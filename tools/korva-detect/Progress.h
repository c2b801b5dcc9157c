// Progress on standard error while sources run: one line rewritten in place
// on a terminal (about four times a second), a plain line every few seconds
// when standard error is a file or pipe, nothing when quiet.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace korva::detect {

enum class ProgressMode { kNone, kTerminal, kPlain };

// kTerminal when `stream` is a terminal, else kPlain; kNone when quiet.
ProgressMode ChooseProgressMode(std::FILE* stream, bool quiet);

// "frames 120/750 (16%)  24.3 fps  ETA 0:26", or without total and ETA
// when `total` < 0.
std::string FormatProgress(std::int64_t done, std::int64_t total, double seconds);

class Progress {
public:
    // Reports `framesDone()` out of `total` (< 0: unknown) to `stream`.
    Progress(std::FILE* stream, ProgressMode mode, std::int64_t total,
             std::function<std::int64_t()> framesDone);
    ~Progress();  // stops
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Stops reporting; a terminal line is finished with a newline.
    void Stop();

private:
    void Run();

    std::FILE* stream_;
    ProgressMode mode_;
    std::int64_t total_;
    std::function<std::int64_t()> framesDone_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;  // guarded by mutex_
    std::size_t lastWidth_ = 0;
    std::thread thread_;
};

}  // namespace korva::detect
