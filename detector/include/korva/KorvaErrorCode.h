// What kind of failure the calling thread's last call on a detector met.
//
// LastErrorCode() (and KorvaPluginLastErrorCode through the C entry points)
// gives one of these beside the one-line reason of LastError(), so a host
// can decide what to do without reading the text. The numbers are stable;
// new kinds are added at the end.
#pragma once

enum class KorvaErrorCode : int {
    kNone = 0,               // the last call succeeded (or inspected a frame and found nothing)
    kNoModel = 1,            // no model is loaded: the frame was not inspected, or nothing to optimise
    kBadFrame = 2,           // the frame is empty or not 8-bit gray, BGR or BGRA: not inspected
    kFrameTooLarge = 3,      // a frame side is above 16384 pixels: not inspected
    kInferenceFailed = 4,    // the model could not run on the frame (see LastInferenceError)
    kModelRefused = 5,       // the model folder, a file in it or the model itself was refused
    kEngineUnavailable = 6,  // the engine asked for cannot run the model here (e.g. ONNX Runtime missing)
    kSettingRefused = 7,     // an argument or a parameter-record entry was refused
    kOutOfMemory = 8,        // memory ran out; nothing changed
    kLoadAbandoned = 9,      // Destroy ran while the model loaded; the new model was discarded
    kInternal = 10,          // a lock or a system call failed
};

// True for the kinds that leave a frame uninspected without an inference
// failure: the host sent something the detector could not look at.
constexpr bool KorvaFrameNotInspected(KorvaErrorCode code) {
    return code == KorvaErrorCode::kNoModel || code == KorvaErrorCode::kBadFrame ||
           code == KorvaErrorCode::kFrameTooLarge;
}

// A short stable name for logs, e.g. "model_refused"; "unknown" for a
// number not listed above.
constexpr const char* KorvaErrorCodeName(KorvaErrorCode code) {
    switch (code) {
        case KorvaErrorCode::kNone: return "none";
        case KorvaErrorCode::kNoModel: return "no_model";
        case KorvaErrorCode::kBadFrame: return "bad_frame";
        case KorvaErrorCode::kFrameTooLarge: return "frame_too_large";
        case KorvaErrorCode::kInferenceFailed: return "inference_failed";
        case KorvaErrorCode::kModelRefused: return "model_refused";
        case KorvaErrorCode::kEngineUnavailable: return "engine_unavailable";
        case KorvaErrorCode::kSettingRefused: return "setting_refused";
        case KorvaErrorCode::kOutOfMemory: return "out_of_memory";
        case KorvaErrorCode::kLoadAbandoned: return "load_abandoned";
        case KorvaErrorCode::kInternal: return "internal";
    }
    return "unknown";
}
