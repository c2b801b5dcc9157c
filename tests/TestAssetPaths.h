// Demo models and test videos on the test machine. Where the backslash is no
// path separator, each value is a single relative name.
#pragma once

#include <string>

const std::string kFireSmokeModelDir = R"(C:\Programs\DemoAssets\ModelsForLumeta\Korva_FireSmoke_v2.0)";
const std::string kHelmetModelDir = R"(C:\Programs\DemoAssets\ModelsForLumeta\Korva_Helmet(GPU)_v1.0)";
const std::string kWeaponModelDir = R"(C:\Programs\DemoAssets\ModelsForLumeta\Korva_WeaponDetection(GPU)_1.0)";
const std::string kFireSmokeVideo = R"(C:\Programs\DemoAssets\Videos\FireNSmoke\KorvaFireFull.mp4)";
const std::string kHelmetVideo = R"(C:\Programs\DemoAssets\Videos\Helmet\HM2.mp4)";
const std::string kWeaponVideo = R"(C:\Programs\DemoAssets\Videos\Weapon\AK47 Glock.mp4)";
