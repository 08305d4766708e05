#pragma once
// Test support: a private settings folder (XDG_CONFIG_HOME and HOME point into a temporary
// directory) and a simulated board on a pseudo-terminal linked there as a COM name.
#include <memory>
#include <string>

#include "Simulator.h"
#include "TestFiles.h"

namespace velsim {

class TSimFixture {
public:
    // Creates the temporary folders, points XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_DOCUMENTS_DIR and HOME
    // into them (config, data, documents, home), starts a simulator and links it as ComName. Throws
    // std::runtime_error on failure.
    explicit TSimFixture(const std::string& ComName = "COM3", TSimBoardOptions Options = {});
    ~TSimFixture() = default;  // stops the simulator, removes the folders, restores the environment
    TSimFixture(const TSimFixture&) = delete;
    TSimFixture& operator=(const TSimFixture&) = delete;

    TSimulator& Sim() { return *FSim; }
    const std::string& ComName() const { return FComName; }
    // The temporary root folder (ends without "/").
    const std::string& Root() const { return FRoot.Path(); }
    // <Root>/config/Tarnwick/Velmorant/
    std::string LinksFolder() const;

private:
    // In this order, so that the simulator stops before its folder goes and the environment returns.
    std::string FComName;
    veltest::TSavedEnvironment FSaved;
    veltest::TTempDir FRoot;
    std::unique_ptr<TSimulator> FSim;
};

}  // namespace velsim
