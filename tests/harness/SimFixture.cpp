#include "SimFixture.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace velsim {

TSimFixture::TSimFixture(const std::string& ComName, TSimBoardOptions Options)
    : FComName(ComName), FSaved{"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DOCUMENTS_DIR", "HOME"} {
    const std::pair<const char*, const char*> Folders[] = {{"XDG_CONFIG_HOME", "/config"},
                                                           {"XDG_DATA_HOME", "/data"},
                                                           {"XDG_DOCUMENTS_DIR", "/documents"},
                                                           {"HOME", "/home"}};
    for (const auto& [Name, Sub] : Folders) {
        std::filesystem::create_directories(Root() + Sub);
        ::setenv(Name, (Root() + Sub).c_str(), 1);
    }
    FSim = std::make_unique<TSimulator>(std::move(Options));
    if (!FSim->Start()) throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
    if (!FSim->LinkAs(FComName, LinksFolder()))
        throw std::runtime_error("cannot link " + FComName + " in " + LinksFolder());
}

std::string TSimFixture::LinksFolder() const {
    return Root() + "/config/Tarnwick/Velmorant/";
}

}  // namespace velsim
