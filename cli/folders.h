// Well-known folders of the platform.
//   machine-wide application data: the first absolute entry of $XDG_CONFIG_DIRS (/etc/xdg)
//   the user's documents:          $XDG_DOCUMENTS_DIR, else $HOME/Documents
//   the per-user configuration:    $XDG_CONFIG_HOME, else $HOME/.config
//   the program's folder:          the folder of the running executable
// Folder names are returned without a trailing "/".
#pragma once

#include <string>

namespace tw {

std::string CommonAppDataFolder();
std::string DocumentsFolder();
std::string UserConfigFolder();
std::string HomeFolder();

// Full name of the running executable, and its folder (empty when it cannot be found).
std::string ProgramFileName();
std::string ProgramFolder();

// Where the saved writer options live: the application-data folder + "/Morvatch/UserParams".
std::string UserParamsPath();

} // namespace tw
