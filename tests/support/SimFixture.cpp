#include "SimFixture.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace velsim {

namespace {

const char* const SavedNames[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DOCUMENTS_DIR", "HOME"};

}  // namespace

struct TSimFixture::TSavedEnvironment {
    std::vector<std::pair<std::string, std::optional<std::string>>> Values;
};

TSimFixture::TSimFixture(const std::string& ComName, TSimBoardOptions Options)
    : FComName(ComName), FSaved(std::make_unique<TSavedEnvironment>()) {
    for (const char* Name : SavedNames) {
        const char* Value = std::getenv(Name);
        FSaved->Values.emplace_back(Name, Value ? std::optional<std::string>(Value) : std::nullopt);
    }
    char Template[] = "/tmp/velmorant-test-XXXXXX";
    if (!::mkdtemp(Template))
        throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
    FRoot = Template;
    try {
        const std::pair<const char*, const char*> Folders[] = {{"XDG_CONFIG_HOME", "/config"},
                                                               {"XDG_DATA_HOME", "/data"},
                                                               {"XDG_DOCUMENTS_DIR", "/documents"},
                                                               {"HOME", "/home"}};
        for (const auto& [Name, Sub] : Folders) {
            std::filesystem::create_directories(FRoot + Sub);
            ::setenv(Name, (FRoot + Sub).c_str(), 1);
        }
        FSim = std::make_unique<TSimulator>(std::move(Options));
        if (!FSim->Start())
            throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
        if (!FSim->LinkAs(FComName, LinksFolder()))
            throw std::runtime_error("cannot link " + FComName + " in " + LinksFolder());
    } catch (...) {
        Cleanup();
        throw;
    }
}

TSimFixture::~TSimFixture() {
    Cleanup();
}

void TSimFixture::Cleanup() {
    FSim.reset();
    for (const auto& [Name, Value] : FSaved->Values) {
        if (Value)
            ::setenv(Name.c_str(), Value->c_str(), 1);
        else
            ::unsetenv(Name.c_str());
    }
    std::error_code Error;
    if (!FRoot.empty()) std::filesystem::remove_all(FRoot, Error);
}

std::string TSimFixture::LinksFolder() const {
    return FRoot + "/config/Tarnwick/Velmorant/";
}

}  // namespace velsim
