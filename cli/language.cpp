#include "cli/language.h"

#include "cli/configstore.h"
#include "io/filenames.h"
#include "cli/folders.h"
#include "cli/inifile.h"
#include "cli/options.h"

namespace tw {

std::string LanguageFilePath(const std::string& keyPath, const std::string& exeFolder) {
    std::string result = "English.lng";
    const size_t split = keyPath.rfind('\\');
    const std::string key = split == std::string::npos ? std::string() : keyPath.substr(0, split);
    const std::string name = split == std::string::npos ? keyPath : keyPath.substr(split + 1);
    try {
        TConfigStore store(TConfigStore::DefaultFileName());
        if (store.KeyExists(key)) result = store.ReadString(key, name);
    } catch (const ERegistryException&) {
        // A value of another kind: keep the default name.
    }
    if (LowerCase(result.size() >= 4 ? result.substr(result.size() - 4) : result) != ".lng") result += ".lng";

    const std::string folder = exeFolder.empty() || exeFolder.back() == '/' ? exeFolder : exeFolder + "/";
    result = folder + result;
    if (!FileExists(result)) result = folder + "English.lng";
    return result;
}

std::string LanguageFilePath(const std::string& keyPath) {
    return LanguageFilePath(keyPath, ProgramFolder());
}

bool LoadLanguageStrings(std::span<std::string> table, int last, const std::string& fileName,
                         const std::string& section) {
    const TIniFile ini(fileName);
    for (int i = 0; i <= last && size_t(i) < table.size(); ++i) {
        std::string value = ini.ReadString(section, std::to_string(i), "");
        if (value.empty()) continue;
        std::string text;
        for (size_t p = 0; p < value.size(); ++p) {
            if (value[p] == '|' && p + 1 < value.size() && value[p + 1] == '|') {
                text += "\r\n";
                ++p;
            } else {
                text += value[p];
            }
        }
        table[size_t(i)] = std::move(text);
    }
    return true;
}

} // namespace tw
