#include "korva/KorvaPluginEntry.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "korva/KorvaCustomWD.h"

extern "C" {

unsigned KorvaPluginInterfaceVersion() noexcept { return korva::kPluginInterfaceVersion; }

IKorvaCustomClass* KorvaCreatePlugin(unsigned interfaceVersion) noexcept {
    if (interfaceVersion != korva::kPluginInterfaceVersion) return nullptr;
    try {
        return new KorvaCustomWD();
    } catch (...) {
        return nullptr;
    }
}

void KorvaDestroyPlugin(IKorvaCustomClass* plugin) noexcept {
    // Every plug-in this library hands out is a KorvaCustomWD.
    delete static_cast<KorvaCustomWD*>(plugin);
}

std::size_t KorvaPluginLastError(const IKorvaCustomClass* plugin, char* buffer,
                                 std::size_t size) noexcept {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    if (plugin == nullptr) return 0;
    try {
        const std::string reason = static_cast<const KorvaCustomWD*>(plugin)->LastError();
        if (buffer != nullptr && size > 0) {
            const std::size_t n = std::min(reason.size(), size - 1);
            std::memcpy(buffer, reason.data(), n);
            buffer[n] = '\0';
        }
        return reason.size();
    } catch (...) {
        return 0;  // out of memory copying the reason
    }
}

}  // extern "C"
