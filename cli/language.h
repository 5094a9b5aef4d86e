// The language file: the user-interface texts, chosen by the "Language" value in the
// configuration store and kept beside the program.
#pragma once

#include <span>
#include <string>

namespace tw {

// Number of texts in the language table (indexes 0 to 450).
inline constexpr int kLanguageStrings = 451;

// The full name of the language file. keyPath names the store value holding the language
// ("Software\Velquist\Morvatch\Language": key, then value name after the last "\"). The
// stored name gets ".lng" appended unless it already ends so (in any case) and is looked
// for in exeFolder; when no such file exists, exeFolder + "/English.lng" is the result.
// Problems with the store (missing key or value, a value of the wrong kind, an unreadable
// store file) leave the name "English.lng".
std::string LanguageFilePath(const std::string& keyPath, const std::string& exeFolder);
// The same, looking in the program's own folder.
std::string LanguageFilePath(const std::string& keyPath);

// Fills table[0..last] from the "i=text" lines of the section; "||" in a text becomes
// CR LF. Empty or missing texts leave their entries as they were; indexes beyond the table
// are not read. Always true.
bool LoadLanguageStrings(std::span<std::string> table, int last, const std::string& fileName,
                         const std::string& section);

} // namespace tw
