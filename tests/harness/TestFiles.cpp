#include "TestFiles.h"

#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace veltest {

TTempDir::TTempDir(const std::string& Prefix) {
    std::string Template = "/tmp/" + Prefix + "-XXXXXX";
    if (!::mkdtemp(Template.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    FPath = Template;
}

TTempDir::~TTempDir() {
    if (FMounted) ::umount2(FPath.c_str(), MNT_DETACH);
    // Tests take permissions away to provoke failures; removal needs them back.
    std::error_code Error;
    for (const auto& Entry : fs::recursive_directory_iterator(FPath, Error))
        fs::permissions(Entry.path(), fs::perms::owner_all, fs::perm_options::add, Error);
    fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, Error);
    fs::remove_all(FPath, Error);
}

bool TTempDir::MountSmallTmpfs() {
    FMounted = veltest::MountSmallTmpfs(FPath);
    return FMounted;
}

bool PrivateMountNamespace() {
    static const bool Done =
        ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return Done;
}

bool MountSmallTmpfs(const std::string& Folder) {
    return PrivateMountNamespace() && ::mount("tmpfs", Folder.c_str(), "tmpfs", 0, "size=64k") == 0;
}

std::string ReadFile(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary) << Text;
}

std::vector<std::string> SortedNames(const std::string& Folder) {
    std::vector<std::string> Names;
    std::error_code Error;
    for (const auto& Entry : fs::directory_iterator(Folder, Error))
        Names.push_back(Entry.path().filename().string());
    std::sort(Names.begin(), Names.end());
    return Names;
}

TSavedEnvironment::TSavedEnvironment(const char* const* First, const char* const* Last) {
    for (; First != Last; ++First) {
        const char* Value = std::getenv(*First);
        FValues.emplace_back(*First, Value ? std::optional<std::string>(Value) : std::nullopt);
    }
}

TSavedEnvironment::~TSavedEnvironment() {
    for (const auto& [Name, Value] : FValues) {
        if (Value)
            ::setenv(Name.c_str(), Value->c_str(), 1);
        else
            ::unsetenv(Name.c_str());
    }
}

}  // namespace veltest
