#include "cli/startup.h"

#include "cli/cdsettings.h"
#include "cli/folders.h"
#include "cli/language.h"

namespace tw {

TStartupConfig RunStartupConfiguration() {
    (void)GlobalSettings();

    TStartupConfig config;
    config.LanguageFile = LanguageFilePath(kLanguageValuePath);
    config.LanguageStrings.resize(kLanguageStrings);
    LoadLanguageStrings(config.LanguageStrings, kLanguageStrings - 1, config.LanguageFile, "Strings");
    config.UserParamsPath = UserParamsPath();
    return config;
}

} // namespace tw
