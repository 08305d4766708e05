#pragma once
// A driver on a simulated board, with every error it reports collected.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Device_VL.h"
#include "SimFixture.h"

class TConnectedDevice : public ::testing::Test {
protected:
    TConnectedDevice() {
        Device.SetOnError([this](const TFailure& Failure) { Errors.push_back(Failure.Text); });
    }
    velsim::TSimulator& Sim() { return Fixture.Sim(); }
    // Connects and forgets the identification traffic.
    void Connect() {
        ASSERT_TRUE(Device.FindDevice(Fixture.ComName()));
        Sim().ClearCommands();
    }

    velsim::TSimFixture Fixture;  // declared first: outlives the driver that holds its port
    TVelmorant Device;
    std::vector<std::string> Errors;
};
