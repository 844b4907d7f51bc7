// A plug-in instance loaded from the built module, with the companion's control segment in
// place: the shape most tests need.
#pragma once

#include "companion/segments.h"
#include "test_host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace testhost {

// Ring length in floats for a rate, worked out independently: 60 s, two channels, even.
inline uint64_t ringFloats(double sampleRate) {
    return static_cast<uint64_t>(std::floor(sampleRate * 120.0)) / 2 * 2;
}

class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(control.create()); }
    void TearDown() override {
        instance.reset();
        control.remove();
    }

    // Makes, initialises and activates the instance.
    void start(double sampleRate) {
        instance = std::make_unique<Instance>(host);
        ASSERT_TRUE(instance->init());
        ASSERT_TRUE(instance->activate(sampleRate));
        rate = sampleRate;
    }

    // One stereo block of constant values; returns the status.
    clap_process_status run(uint32_t frames, float left, float right,
                            const clap_event_transport* transport = nullptr) {
        inL.assign(frames, left);
        inR.assign(frames, right);
        return instance->processStereo(inL, inR, transport);
    }
    clap_process_status run(const std::vector<float>& left, const std::vector<float>& right,
                            const clap_event_transport* transport = nullptr) {
        return instance->processStereo(left, right, transport);
    }

    // The write position in frames, from the published fraction (exact for these ring sizes).
    uint64_t writtenFrames() const {
        const float fraction = control.load<float>(companion::off::writePosFraction);
        const uint64_t size = ringFloats(rate);
        const auto floats = static_cast<uint64_t>(std::llround(double(fraction) * double(size)));
        EXPECT_EQ(static_cast<float>(floats) / static_cast<float>(size), fraction);
        return floats / 2;
    }

    // The ring as the companion fetches it: a snapshot of the whole ring from index 0.
    std::vector<float> snapshotRing() {
        const uint64_t size = ringFloats(rate);
        control.requestSnapshot(0.0f, 1.0f);
        std::vector<float> none;
        EXPECT_EQ(run(0, 0.0f, 0.0f), CLAP_PROCESS_CONTINUE);
        EXPECT_EQ(control.load<uint8_t>(companion::off::snapshotReady), 1);
        EXPECT_EQ(control.loadPlain<uint32_t>(companion::off::snapshotCount), size);
        companion::SnapshotReader reader;
        if (!reader.open(size * sizeof(float)))
            return none;
        return std::vector<float>(reader.data(), reader.data() + size);
    }

    Host host;
    companion::ControlSegment control;
    std::unique_ptr<Instance> instance;
    double rate = 0.0;
    std::vector<float> inL, inR;
};

}  // namespace testhost
