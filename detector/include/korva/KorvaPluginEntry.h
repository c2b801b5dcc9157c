// C entry points of the weapon-detector library, for hosts that load it at
// run time (dlopen/dlsym, LoadLibrary/GetProcAddress) rather than link it.
//
// A host resolves the functions by the names below (unmangled, C linkage),
// checks the version, creates a plug-in and drives it through
// IKorvaCustomClass. A plug-in made here is destroyed here: its memory
// belongs to the library's runtime, and the base class cannot be deleted
// through a base pointer. Every function is safe to call with any argument
// and never throws: the library remembers the plug-ins it made, so a pointer
// it did not make, or one already destroyed, is ignored.
//
// The pointer typedefs name each function's type for GetProcAddress/dlsym.
#pragma once

#include <cstddef>

#include "korva/CustomParams.h"
#include "korva/IKorvaCustomClass.h"
#include "korva/KorvaWeaponDetectionExport.h"
#include "korva/PluginInterfaceVersion.h"

#define KORVA_PLUGIN_INTERFACE_VERSION_SYMBOL "KorvaPluginInterfaceVersion"
#define KORVA_PLUGIN_CREATE_SYMBOL "KorvaCreatePlugin"
#define KORVA_PLUGIN_DESTROY_SYMBOL "KorvaDestroyPlugin"
#define KORVA_PLUGIN_LAST_ERROR_SYMBOL "KorvaPluginLastError"
#define KORVA_PLUGIN_LAST_ERROR_CODE_SYMBOL "KorvaPluginLastErrorCode"
#define KORVA_PLUGIN_APPLY_PARAMETERS_SYMBOL "KorvaPluginApplyParameters"

// KorvaParameterChange::outcome.
#define KORVA_PARAMETER_APPLIED 0             /* an editable value changed; the next frame uses it */
#define KORVA_PARAMETER_AT_NEXT_INITIALIZE 1  /* a load-time value changed; the next Initialize uses it */
#define KORVA_PARAMETER_REFUSED 2             /* `reason` says why; nothing of the record was applied */
#define KORVA_PARAMETER_NOT_APPLIED 3         /* acceptable, but another entry was refused */

#define KORVA_PARAMETER_KEY_SIZE 128
#define KORVA_PARAMETER_REASON_SIZE 512

extern "C" {

// The interface version this library was built with.
KORVA_WD_API unsigned KorvaPluginInterfaceVersion() noexcept;

// A new weapon detector with no model loaded, or null when
// `interfaceVersion` is not this library's version or allocation fails.
KORVA_WD_API IKorvaCustomClass* KorvaCreatePlugin(unsigned interfaceVersion) noexcept;

// Destroys a plug-in made by KorvaCreatePlugin (waiting for its inferences
// in flight). Null, a pointer this library did not make and one already
// destroyed are ignored. The host must have stopped calling the plug-in.
KORVA_WD_API void KorvaDestroyPlugin(IKorvaCustomClass* plugin) noexcept;

// Copies the plug-in's LastError() into `buffer`: the one-line reason the
// calling thread's last call on it left (a false, or an empty inference
// result that was not "inspected, nothing found"). NUL-terminated, cut to
// `size` - 1 bytes; returns the reason's full length; 0 and an empty buffer
// when there is none or `plugin` is null. `buffer` may be null when `size`
// is 0.
KORVA_WD_API std::size_t KorvaPluginLastError(const IKorvaCustomClass* plugin, char* buffer,
                                              std::size_t size) noexcept;

// The kind of that reason, a KorvaErrorCode number (korva/KorvaErrorCode.h):
// 0 when there is none or `plugin` is not a live plug-in of this library.
KORVA_WD_API int KorvaPluginLastErrorCode(const IKorvaCustomClass* plugin) noexcept;

// One entry of KorvaPluginApplyParameters' report. `key` and `reason` are
// NUL-terminated and cut to their sizes; `reason` is empty unless refused or
// not applied.
struct KorvaParameterChange {
    int outcome;
    char key[KORVA_PARAMETER_KEY_SIZE];
    char reason[KORVA_PARAMETER_REASON_SIZE];
};

// KorvaCustomWD::ApplyParameters(params, report) for hosts that load the
// library: checks `params` and applies it whole, or nothing of it (1 when
// applied, 0 when refused), thread-safe, leaving LastError and
// LastErrorCode as that call does. The report's entries go into `changes`
// in order, at most `capacity` of them; `*changeCount` (when not null) gets
// how many there were, also when more than `capacity`. Refused entries come
// first, at most one per entry of the record. 0 and
// a count of 0, changing nothing, when `plugin` is not a live plug-in of
// this library or `params` is null. `changes` may be null when `capacity`
// is 0.
KORVA_WD_API int KorvaPluginApplyParameters(IKorvaCustomClass* plugin, const CustomParams* params,
                                            KorvaParameterChange* changes, std::size_t capacity,
                                            std::size_t* changeCount) noexcept;

}  // extern "C"

namespace korva {

using PluginInterfaceVersionFn = unsigned (*)() noexcept;
using CreatePluginFn = IKorvaCustomClass* (*)(unsigned) noexcept;
using DestroyPluginFn = void (*)(IKorvaCustomClass*) noexcept;
using PluginLastErrorFn = std::size_t (*)(const IKorvaCustomClass*, char*, std::size_t) noexcept;
using PluginLastErrorCodeFn = int (*)(const IKorvaCustomClass*) noexcept;
using PluginApplyParametersFn = int (*)(IKorvaCustomClass*, const CustomParams*, KorvaParameterChange*,
                                        std::size_t, std::size_t*) noexcept;

}  // namespace korva
