#pragma once
// The system's special folders and the program's own two folders.
#include <string>

enum TSpecialFolder : int {
    sfPersonal = 0,         // the user's documents
    sfCommonAppData = 1,    // application data shared by all users of the program (XDG config)
    sfLocalAppData = 2,     // the user's local application data (XDG data)
    sfProgramFiles = 3,     // the installation's lib folder
    sfCommonDocuments = 4,  // documents for all users
    sfMyPictures = 5        // the user's pictures
};

// The folder's path ending in "/"; any other ordinal gives the documents folder.
// Throws EAssertionFailed "GetSpecialFolderPath() failed" when the system cannot supply it.
std::string GetSpecialFolderPath(int Folder);

struct TApplicationFolders {
    std::string AppSettingsPath;  // <all-users app data>Tarnwick/Velmorant/
    std::string UserDataPath;     // <documents>Velmorant/
};

// <config home>Tarnwick/Velmorant/: the settings folder, also holding the port links. Follows the
// environment at each call; throws as GetSpecialFolderPath.
std::string AppSettingsFolder();

// The program-wide folders, filled once at start-up by InitApplicationFolders.
extern TApplicationFolders ApplicationFolders;

// Fills ApplicationFolders and creates both folders with their parents (failures are not reported).
void InitApplicationFolders();

// The file's name after its last "/" (the whole text when there is none).
std::string NameWithoutFolder(const std::string& Path);

// Creates Path and every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::string& Path);
