#include "settings/config_location.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// An existing file, or anything else in its place (a directory, a broken link): only a path
// with nothing there is free for a user file to be created later.
bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string Join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string AccountHome() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir)
        return "";
    return found->pw_dir;
}

}  // namespace

ConfigLocation LocateConfig(const std::string& exeDir, const UserDirs& user) {
    const std::string beside = Join(exeDir, kConfigName);
    const std::string marker =
        Join(exeDir, std::string("../share/") + kProgramName + "/" + kInstalledMarker);
    if (exeDir.empty() || !IsFile(marker)) return {beside, ""};

    // Relative values are not valid there and are ignored, as the XDG base directories say.
    std::string configHome;
    if (!user.xdgConfigHome.empty() && user.xdgConfigHome.front() == '/')
        configHome = user.xdgConfigHome;
    else if (!user.home.empty() && user.home.front() == '/')
        configHome = Join(user.home, ".config");
    else
        return {beside, ""};

    ConfigLocation location{Join(Join(configHome, kProgramName), kConfigName), ""};
    if (!Exists(location.path) && IsFile(beside)) location.defaultsPath = beside;
    return location;
}

ConfigLocation LocateProgramConfig() {
    UserDirs user{Env("XDG_CONFIG_HOME"), Env("HOME")};
    if (user.home.empty()) user.home = AccountHome();
    return LocateConfig(ExecutableDirectory(), user);
}

std::string ExecutableDirectory() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return "";
    const std::string exe(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : exe.substr(0, slash);
}

bool CreateFoldersFor(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}
