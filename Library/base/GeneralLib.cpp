#include "GeneralLib.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "Errors.h"

TApplicationFolders ApplicationFolders;

namespace {

std::string Env(const char* Name) {
    const char* v = std::getenv(Name);
    return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return std::string();
}

// Relative paths in the XDG variables are to be ignored, as the base-directory rules demand.
std::string AbsoluteOrEmpty(const std::string& Path) {
    return !Path.empty() && Path[0] == '/' ? Path : "";
}

// "$HOME/x" and "${HOME}/x" as user-dirs.dirs writes them.
std::string ExpandHome(const std::string& Path) {
    for (const char* prefix : {"$HOME", "${HOME}"}) {
        std::string p(prefix);
        if (Path.compare(0, p.size(), p) == 0 && (Path.size() == p.size() || Path[p.size()] == '/')) {
            std::string home = HomeFolder();
            return home.empty() ? std::string() : home + Path.substr(p.size());
        }
    }
    return Path;
}

std::string ConfigHome() {
    std::string config = AbsoluteOrEmpty(Env("XDG_CONFIG_HOME"));
    if (!config.empty()) return config;
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.config";
}

// A user folder: the variable itself, else its line in user-dirs.dirs, else ~/Fallback.
std::string UserDir(const char* Name, const char* Fallback) {
    std::string value = AbsoluteOrEmpty(ExpandHome(Env(Name)));
    if (!value.empty()) return value;

    std::string config = ConfigHome();
    if (!config.empty()) {
        std::ifstream dirs(config + "/user-dirs.dirs");
        std::string line, wanted = std::string(Name) + "=";
        while (std::getline(dirs, line)) {
            size_t b = line.find_first_not_of(" \t");
            if (b == std::string::npos || line.compare(b, wanted.size(), wanted) != 0) continue;
            std::string raw = line.substr(b + wanted.size());
            while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\r'))
                raw.pop_back();
            if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
                raw = raw.substr(1, raw.size() - 2);
            std::string unescaped;
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
                unescaped += raw[i];
            }
            value = AbsoluteOrEmpty(ExpandHome(unescaped));
        }
        if (!value.empty()) return value;
    }
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/" + Fallback;
}

std::string DataHome() {
    std::string data = AbsoluteOrEmpty(Env("XDG_DATA_HOME"));
    if (!data.empty()) return data;
    std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.local/share";
}

// The installation's lib folder: <prefix>/lib for a program installed as <prefix>/bin/velmorant.
std::string InstallationLibFolder() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec) return std::string();
    return (exe.parent_path().parent_path() / "lib").string();
}

}  // namespace

std::string GetSpecialFolderPath(int Folder) {
    std::string path;
    switch (Folder) {
        case sfCommonAppData:
            path = ConfigHome();
            break;
        case sfLocalAppData:
            path = DataHome();
            break;
        case sfProgramFiles:
            path = InstallationLibFolder();
            break;
        case sfCommonDocuments:
            path = UserDir("XDG_PUBLICSHARE_DIR", "Public");
            break;
        case sfMyPictures:
            path = UserDir("XDG_PICTURES_DIR", "Pictures");
            break;
        default:
            path = UserDir("XDG_DOCUMENTS_DIR", "Documents");
            break;
    }
    if (path.empty()) throw EAssertionFailed("GetSpecialFolderPath() failed");
    if (path.back() != '/') path += '/';
    return path;
}

std::string AppSettingsFolder() {
    return GetSpecialFolderPath(sfCommonAppData) + "Tarnwick/Velmorant/";
}

void InitApplicationFolders() {
    ApplicationFolders.AppSettingsPath = AppSettingsFolder();
    ApplicationFolders.UserDataPath = GetSpecialFolderPath(sfPersonal) + "Velmorant/";
    ForceDirectories(ApplicationFolders.AppSettingsPath);
    ForceDirectories(ApplicationFolders.UserDataPath);
}

bool ForceDirectories(const std::string& Path) {
    if (Path.empty()) return false;
    std::error_code ec;
    std::filesystem::create_directories(Path, ec);
    return std::filesystem::is_directory(Path, ec);
}

std::string NameWithoutFolder(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}
