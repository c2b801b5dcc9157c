// Abstract base class of every custom-model plug-in.
//
// A host drives a plug-in through the six pure virtual operations and
// configures it through the two non-virtual setters. The base only keeps the
// shared configuration state; derived classes decide what it means.
//
// Ownership: a plug-in is owned and destroyed through its concrete class. The
// destructor is not virtual (the slot layout stays as hosts know it) and is
// protected, so deleting a plug-in through a pointer to this base does not
// compile.
//
// Thread safety: the base takes no lock. SetParameters, SetLoadEngineOnCreate
// and the assignments must not run concurrently with any other operation on
// the same object. What the virtual operations allow is up to each plug-in.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "korva/CustomObject.h"
#include "korva/CustomParams.h"

class IKorvaCustomClass {
public:
    IKorvaCustomClass() = default;
    IKorvaCustomClass(const IKorvaCustomClass&) = default;
    // Takes over the text and the four lists (the source keeps them empty);
    // copies the number and the flag.
    IKorvaCustomClass(IKorvaCustomClass&&) = default;
    IKorvaCustomClass& operator=(const IKorvaCustomClass&) = default;
    // Member by member; moving an object into itself leaves it unchanged
    // (a defaulted move would empty the lists, as vector self-moves do).
    IKorvaCustomClass& operator=(IKorvaCustomClass&& other) noexcept {
        if (this != &other) {
            configText = std::move(other.configText);
            configValue = other.configValue;
            parameters = std::move(other.parameters);
            loadEngineOnCreate = other.loadEngineOnCreate;
        }
        return *this;
    }

    // Loads a model from `modelFolder`; on success writes the class names,
    // joined with ",", to `labelMap` and returns true.
    virtual bool Initialize(const std::string& modelFolder, float threshold,
                            std::string& labelMap) = 0;
    // Optimises the loaded model; false when nothing is loaded.
    virtual bool OptimizeModel(bool useGpu) = 0;
    // Detects objects in one frame from the named camera.
    virtual std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                                   const std::string& cameraId) = 0;
    // Detects objects in one frame.
    virtual std::vector<CustomObject> RunInference(const cv::Mat& frame) = 0;
    // Fills `params` with the plug-in's current parameters.
    virtual bool ConfigureParameters(CustomParams& params) = 0;
    // Releases what the plug-in holds; safe to call at any time, repeatedly.
    virtual bool Destroy() = 0;

    // Stores the flag; nothing else.
    void SetLoadEngineOnCreate(bool load) { loadEngineOnCreate = load; }

    // Replaces `parameters` with a copy of `params`. All or nothing: on
    // failure (out of memory) returns false and the previous record is intact.
    bool SetParameters(const CustomParams& params) noexcept {
        try {
            CustomParams copy(params);
            parameters = std::move(copy);  // vector moves do not throw
            return true;
        } catch (...) {
            return false;
        }
    }

protected:
    // Only a derived class destroys the base part.
    ~IKorvaCustomClass() = default;

    std::string configText;
    float configValue = 0.5f;
    CustomParams parameters;
    bool loadEngineOnCreate = false;
};
