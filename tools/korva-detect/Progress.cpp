#include "Progress.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace korva::detect {

ProgressMode ChooseProgressMode(std::FILE* stream, bool quiet) {
    if (quiet) return ProgressMode::kNone;
#if defined(_WIN32)
    const bool terminal = ::_isatty(::_fileno(stream)) != 0;
#else
    const bool terminal = ::isatty(::fileno(stream)) != 0;
#endif
    return terminal ? ProgressMode::kTerminal : ProgressMode::kPlain;
}

std::string FormatProgress(std::int64_t done, std::int64_t total, double seconds) {
    const double fps = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    char buffer[160];
    if (total > 0) {
        const std::int64_t shown = done < total ? done : total;
        const int percent = static_cast<int>(100 * shown / total);
        std::string eta = "--:--";
        if (fps > 0.0) {
            const auto left = static_cast<std::int64_t>(static_cast<double>(total - shown) / fps + 0.5);
            char t[32];
            std::snprintf(t, sizeof t, "%lld:%02lld", static_cast<long long>(left / 60),
                          static_cast<long long>(left % 60));
            eta = t;
        }
        std::snprintf(buffer, sizeof buffer, "frames %lld/%lld (%d%%)  %.1f fps  ETA %s",
                      static_cast<long long>(shown), static_cast<long long>(total), percent, fps,
                      eta.c_str());
    } else {
        std::snprintf(buffer, sizeof buffer, "frames %lld  %.1f fps", static_cast<long long>(done), fps);
    }
    return buffer;
}

Progress::Progress(std::FILE* stream, ProgressMode mode, std::int64_t total,
                   std::function<std::int64_t()> framesDone)
    : stream_(stream), mode_(mode), total_(total), framesDone_(std::move(framesDone)),
      start_(std::chrono::steady_clock::now()) {
    if (mode_ != ProgressMode::kNone) thread_ = std::thread([this] { Run(); });
}

Progress::~Progress() { Stop(); }

void Progress::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Progress::Run() {
    const auto period = mode_ == ProgressMode::kTerminal ? std::chrono::milliseconds(250)
                                                         : std::chrono::milliseconds(5000);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const bool stopping = wake_.wait_for(lock, period, [this] { return stop_; });
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const std::string line = FormatProgress(framesDone_(), total_, seconds);
        if (mode_ == ProgressMode::kTerminal) {
            // Spaces clear what a longer previous line left.
            const std::size_t pad = lastWidth_ > line.size() ? lastWidth_ - line.size() : 0;
            std::fprintf(stream_, "\r%s%s%s", line.c_str(), std::string(pad, ' ').c_str(),
                         stopping ? "\n" : "");
            lastWidth_ = line.size();
        } else if (!stopping) {
            std::fprintf(stream_, "korva-detect: %s\n", line.c_str());
        }
        std::fflush(stream_);
        if (stopping) return;
    }
}

}  // namespace korva::detect
