#pragma once
// Files and environment for tests: a temporary folder that removes itself, whole-file reading and
// writing, and environment variables put back as they were.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltest {

// A fresh folder /tmp/<Prefix>-XXXXXX for the life of the object.
class TTempDir {
public:
    // Creates the folder; throws std::runtime_error when it cannot.
    explicit TTempDir(const std::string& Prefix = "velmorant-test");
    // Unmounts what MountSmallTmpfs put there, makes everything writable again and removes it all.
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // The folder, without a trailing "/".
    const std::string& Path() const { return FPath; }
    // Name inside the folder.
    std::string Path(const std::string& Name) const { return FPath + "/" + Name; }
    // Mounts a small tmpfs over the folder (see MountSmallTmpfs below); it goes with the folder.
    bool MountSmallTmpfs();

private:
    std::string FPath;
    bool FMounted = false;
};

// Moves the process into a mount namespace of its own, once, so that no mount a test makes
// outlives it; false where the process may not (no CAP_SYS_ADMIN).
bool PrivateMountNamespace();
// Mounts a 64 KiB tmpfs over Folder in the private mount namespace; false where that fails.
bool MountSmallTmpfs(const std::string& Folder);

// The whole file as bytes; "" when it cannot be read.
std::string ReadFile(const std::string& Path);
// Replaces the file with Text, byte for byte.
void WriteFile(const std::string& Path, const std::string& Text);
// The names of the entries in Folder, sorted; none when it cannot be read.
std::vector<std::string> SortedNames(const std::string& Folder);

// Remembers the named environment variables and restores them (value, or unset) on destruction.
class TSavedEnvironment {
public:
    TSavedEnvironment(std::initializer_list<const char*> Names)
        : TSavedEnvironment(Names.begin(), Names.end()) {}
    template <std::size_t N>
    explicit TSavedEnvironment(const char* const (&Names)[N]) : TSavedEnvironment(Names, Names + N) {}
    ~TSavedEnvironment();
    TSavedEnvironment(const TSavedEnvironment&) = delete;
    TSavedEnvironment& operator=(const TSavedEnvironment&) = delete;

private:
    TSavedEnvironment(const char* const* First, const char* const* Last);

    std::vector<std::pair<std::string, std::optional<std::string>>> FValues;
};

}  // namespace veltest
