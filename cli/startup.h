// Start-up configuration: the settings object, the language texts and the location of the
// saved writer options, set up before the command line is looked at.
#pragma once

#include <string>
#include <vector>

namespace tw {

inline constexpr const char* kLanguageValuePath = "Software\\Velquist\\Morvatch\\Language";

struct TStartupConfig {
    std::string LanguageFile;                 // the language file chosen
    std::vector<std::string> LanguageStrings; // 451 texts, empty where the file has none
    std::string UserParamsPath;
};

// Creates and loads the process-wide settings, reads the language texts and forms the
// user-parameters path. Problems with the store or the language file are not reported.
TStartupConfig RunStartupConfiguration();

} // namespace tw
