// Settings korva-detect asks of the detector, written into its parameter
// record and checked against what the detector reports back, and the class
// filter resolved against the loaded model's classes.
//
// A setting goes into the entry of the record named by its key: a value
// entry takes a number (or, when it holds none, the text in textB), a flag
// or text-list entry takes the text in textB, a "key=value" line of `texts`
// takes the text. A key the record does not have yet is added, as a value
// entry for a number, else as a "key=value" line.
#pragma once

#include <string>
#include <vector>

#include "FrameRecord.h"
#include "korva/CustomParams.h"
#include "korva/KorvaErrorCode.h"

namespace korva::detect {

struct SettingRequest {
    std::string key;
    std::string value;
    bool prefixMatch = false;  // applied when the reported text starts with `value`
};

// Writes every request into `record`; false with `error` when a value
// entry holding a number is given something else.
bool WriteRequests(const std::vector<SettingRequest>& requests, CustomParams& record,
                   std::string& error);

// One line per request that `effective` does not show as applied.
std::vector<std::string> UnappliedRequests(const std::vector<SettingRequest>& requests,
                                           const CustomParams& effective);

// What an empty RunInference result means, by the calling thread's last
// error code: none, inspected; a frame the detector could not look at,
// refused; anything else, failed. The reason's text plays no part.
FrameStatus StatusFromCode(KorvaErrorCode code);

// The class names of a label map ("a,b,c").
std::vector<std::string> SplitLabelMap(const std::string& labelMap);

// keep[id] for every class id; `wanted` holds names or ids. False with
// `error` naming the first unknown one and the model's classes.
bool ResolveClasses(const std::vector<std::string>& wanted, const std::vector<std::string>& names,
                    std::vector<bool>& keep, std::string& error);

}  // namespace korva::detect
