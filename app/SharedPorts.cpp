#include "SharedPorts.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "FileUtil.h"
#include "IniFile.h"

namespace {

constexpr const char* Section = "Shared port";
constexpr const char* Suffix = ".share";

std::string FromEnvironment(const char* Name) {
    const char* Value = std::getenv(Name);
    return Value != nullptr ? std::string(Value) : std::string();
}

// A process that is gone leaves its file behind after a crash; another user's process is there
// although it may not be signalled.
bool ProcessRuns(int Pid) {
    return Pid > 0 && (::kill(Pid, 0) == 0 || errno == EPERM);
}

}  // namespace

std::string SharedPortFolderToPublish() {
    // systemd may list several directories, separated by colons: the first is the service's own.
    std::string Folder = FromEnvironment("RUNTIME_DIRECTORY");
    Folder = Folder.substr(0, Folder.find(':'));
    if (!Folder.empty()) return Folder;
    const std::string Runtime = FromEnvironment("XDG_RUNTIME_DIR");
    return Runtime.empty() ? std::string() : Runtime + "/velmorant";
}

std::vector<std::string> SharedPortFolders() {
    std::vector<std::string> Folders;
    if (const std::string Runtime = FromEnvironment("XDG_RUNTIME_DIR"); !Runtime.empty())
        Folders.push_back(Runtime + "/velmorant");
    Folders.emplace_back("/run/velmorant");
    return Folders;
}

std::string PublishSharedPort(const std::string& Folder, const TSharedPortNotice& Notice,
                              std::string& Error) {
    std::error_code Ec;
    std::filesystem::create_directories(Folder, Ec);
    std::string Name = Notice.Board;
    std::replace_if(
        Name.begin(), Name.end(), [](char C) { return C == '/' || C == ':'; }, '_');
    const std::string Path = Folder + "/" + Name + Suffix;
    const std::string Text = std::string("[") + Section + "]\nBoard=" + Notice.Board +
                             "\nAddress=" + Notice.Address + "\nProcess=" + std::to_string(::getpid()) + "\n";
    // Written aside and renamed, so that a window never reads half a notice.
    const std::string Temporary = Path + ".new";
    const int Fd = ::open(Temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int Failure = Fd < 0 ? errno : 0;
    if (Fd >= 0) {
        // A service's umask would keep the notice from the seat's user.
        if (::fchmod(Fd, 0644) != 0) Failure = errno;
        const int Written = WriteSyncAndClose(Fd, Text);
        if (Failure == 0) Failure = Written;
    }
    if (Failure == 0 && ::rename(Temporary.c_str(), Path.c_str()) != 0) Failure = errno;
    if (Failure != 0) {
        Error = "cannot write " + Path + ": " + std::strerror(Failure);
        ::unlink(Temporary.c_str());
        return {};
    }
    return Path;
}

std::vector<TSharedPortNotice> FindSharedPorts(const std::vector<std::string>& Folders) {
    std::vector<TSharedPortNotice> Found;
    const auto Take = [&Found](const std::filesystem::path& File) {
        if (File.extension() != Suffix) return;
        const TIniFile Ini(File.string());
        TSharedPortNotice Notice{Ini.ReadString(Section, "Board", ""),
                                 Ini.ReadString(Section, "Address", "")};
        if (Notice.Board.empty() || Notice.Address.empty() ||
            !ProcessRuns(Ini.ReadInteger(Section, "Process", 0)))
            return;
        Found.push_back(std::move(Notice));
    };
    for (const std::string& Folder : Folders) {
        std::error_code Ec;
        for (const auto& Entry : std::filesystem::directory_iterator(Folder, Ec)) {
            std::error_code Inner;
            if (Entry.is_directory(Inner)) {
                for (const auto& Sub : std::filesystem::directory_iterator(Entry.path(), Inner))
                    Take(Sub.path());
            } else {
                Take(Entry.path());
            }
        }
    }
    std::sort(Found.begin(), Found.end(),
              [](const TSharedPortNotice& A, const TSharedPortNotice& B) { return A.Board < B.Board; });
    return Found;
}

std::string SharedPortCaption(const TSharedPortNotice& Notice) {
    return Notice.Board + " (shared by velmorant serve)";
}
