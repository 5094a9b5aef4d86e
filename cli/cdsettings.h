// TcdSettings: the converter's settings object, kept under
// "Software\Velquist\Morvatch\Setting". The console program loads it at start-up and
// never writes it back.
#pragma once

#include "cli/settings.h"

namespace tw {

inline constexpr const char* kSettingsKey = "Software\\Velquist\\Morvatch\\Setting";

class TcdSettings : public TBaseSettings {
  public:
    TcdSettings();

    std::string LogDir, Indir, OutDir;
    bool SubDir = false;
    bool CheckResize = false;
    bool cropselect = true;
    bool Shrinkimg = false, Fitimg = false;
    std::string ResampleFilter;
    int32_t sWidth = 800, sHeight = 600;
    int32_t ComboxIdx = 0;
    bool CheckFlip = false;
    bool DegClockWise = true;
    bool CounterClockWise = false, Degrees = false, Horizontally = false, Vertically = false;
    std::string SavePath; // the documents folder + "/Morvatch Images/"
    int32_t OutFormat = 3;
    bool MOriginalTitle = true;
    bool MOriginal = false, MGenerate = false;
    std::string MPrefix = "NewImage";
    int32_t MStep = 1, MEveryStep = 1;
    std::string Applocation; // full name of the program's executable

    const TPropTable& Properties() const override;
};

// The process-wide settings object: created on first use with RegistryKey set to
// kSettingsKey and loaded from the store. It lives until the process ends and is never
// saved by the program.
TcdSettings& GlobalSettings();

} // namespace tw
