// ONNX Runtime, loaded into the process at run time.
//
// The library is looked up in this order, the first that loads wins:
//   1. the file named by the environment variable KORVA_ONNXRUNTIME (when set
//      and not empty, nothing else is tried);
//   2. libonnxruntime.so.1 (onnxruntime.dll on Windows) in the folder of the
//      detector's own library;
//   3. the same name through the system's loader (LD_LIBRARY_PATH, the cache).
// A loaded library stays loaded until the process ends: unloading a runtime
// that owns thread pools is not safe. One OrtEnv per runtime is shared by
// every session, and kept as long as the library (see Memory below). All members are immutable after loading, so a runtime may be
// used from any number of threads. The runtime's own log is limited to fatal
// errors: every failure reaches the caller as a status and its message.
//
// Memory: the runtime has no per-session limit for its CPU allocator, so the
// environment gets one shared CPU arena capped at kMaxActivationBytes, and
// every session (OrtEngine sets "session.use_env_allocators") allocates its
// weights, activations and outputs there. A request past the cap fails with
// a status before anything is allocated. The cap is shared by every model
// the process runs on one runtime, and memory a kernel allocates on its own
// (outside the session's allocator) and the optimiser's constant folding at
// session creation are not counted: the graph scan of model/ConstantFolding.h
// bounds what folding can compute from constants.
#pragma once

#include <memory>
#include <string>

#include "engines/OrtApi.h"

namespace korva::detail {

class OrtRuntime {
public:
    // The runtime found by the search order above, loaded once per process and
    // shared; null with a one-line reason in `reason` when none loads. A failed
    // search is retried at the next call.
    static std::shared_ptr<const OrtRuntime> Shared(std::string& reason);

    // Loads the library at `path` (a file name alone goes through the system's
    // loader) and registers the capped CPU arena with its environment. Null
    // with a one-line reason on failure. Never throws.
    static std::shared_ptr<const OrtRuntime> Load(const std::string& path, std::string& reason);

    OrtRuntime(const OrtRuntime&) = delete;
    OrtRuntime& operator=(const OrtRuntime&) = delete;
    ~OrtRuntime();

    const OrtApi& Api() const { return api_; }
    OrtEnv* Env() const { return env_; }
    // The runtime's version, e.g. "1.31.1".
    const std::string& Version() const { return version_; }
    // Where the library was loaded from.
    const std::string& Path() const { return path_; }

    // The message of `status` on one line, and the status released. Empty for
    // a null (successful) status.
    std::string Consume(OrtStatus* status) const;

private:
    OrtRuntime() = default;

    OrtApi api_;
    OrtEnv* env_ = nullptr;
    std::string version_;
    std::string path_;
    bool arenaRegistered_ = false;
};

}  // namespace korva::detail
