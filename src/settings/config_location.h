#pragma once

#include <string>

// Where the configuration file lives.
//
// A copy that runs from its own folder (the build tree, an unpacked folder) keeps the file
// beside its executable. An installed copy cannot expect to write beside its executable, so
// it keeps the file in the user's configuration folder. A copy counts as installed when
// kInstalledMarker exists at <executable's folder>/../share/<kProgramName>/: the installed
// layout, whatever the prefix, decides, never the right to write somewhere.

inline constexpr const char* kProgramName = "vantor-simulator";
inline constexpr const char* kConfigName = "ZentrelConfig.ini";
inline constexpr const char* kInstalledMarker = "installed";

struct ConfigLocation {
    // The file read at start and written at the end.
    std::string path;
    // A file read instead of `path` while `path` does not exist yet; empty when there is none.
    std::string defaultsPath;
};

// The user's directories as the environment gives them; empty when not set.
struct UserDirs {
    std::string xdgConfigHome;  // $XDG_CONFIG_HOME
    std::string home;           // $HOME, or the account's home directory
};

// The decision for an executable in `exeDir` (no trailing slash; empty when unknown):
// - not installed: <exeDir>/ZentrelConfig.ini;
// - installed: <config home>/vantor-simulator/ZentrelConfig.ini, where the config home is
//   $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config; while that file does
//   not exist, a ZentrelConfig.ini beside the executable, if there is one, gives the defaults.
//   With neither directory known, the file stays beside the executable.
ConfigLocation LocateConfig(const std::string& exeDir, const UserDirs& user);

// The same decision for this process: its executable and its environment.
ConfigLocation LocateProgramConfig();

// The directory of the running executable, or "" when it cannot be found.
std::string ExecutableDirectory();

// Creates the folders above `path` that are missing, private to the user (0700) as
// configuration folders should be. False when one could not be created.
bool CreateFoldersFor(const std::string& path);
