#pragma once
// Boards shared by a service on this machine. Each serving process with a shared port publishes a
// small file under the runtime directory naming its board and the port's address, so that the
// window lists the board without being told where to look.
#include <string>
#include <vector>

struct TSharedPortNotice {
    std::string Board;    // the board's port as the service names it ("COM1", or a device node)
    std::string Address;  // where its clients connect ("socket://127.0.0.1:5331")
};

// Where this process publishes: a systemd service's own runtime directory ($RUNTIME_DIRECTORY),
// else $XDG_RUNTIME_DIR/velmorant; "" when neither is set.
std::string SharedPortFolderToPublish();
// Where the window looks: $XDG_RUNTIME_DIR/velmorant and /run/velmorant, each with its subfolders
// (a template service's instances have one each).
std::vector<std::string> SharedPortFolders();
// Writes the notice into Folder (made when missing), readable by every user; the file's path, or ""
// with Error set.
std::string PublishSharedPort(const std::string& Folder, const TSharedPortNotice& Notice, std::string& Error);
// The notices of running services in Folders and their subfolders, by board; a file left by a
// process that is gone is passed over.
std::vector<TSharedPortNotice> FindSharedPorts(const std::vector<std::string>& Folders);
// "COM1 (shared by velmorant serve)": how the window lists it.
std::string SharedPortCaption(const TSharedPortNotice& Notice);
