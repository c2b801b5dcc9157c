// Symbol export for the KorvaCustomWeaponDetection library.
#pragma once

#if defined(KORVA_WD_STATIC)
#define KORVA_WD_API
#elif defined(_WIN32)
#if defined(KORVA_WD_BUILDING)
#define KORVA_WD_API __declspec(dllexport)
#else
#define KORVA_WD_API __declspec(dllimport)
#endif
#else
#define KORVA_WD_API __attribute__((visibility("default")))
#endif
