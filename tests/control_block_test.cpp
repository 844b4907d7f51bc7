// The control block: the plug-in's layout against the companion's, attaching and validation.
#include "plugin_fixture.h"

#include "shm/control_block.h"

#include <dirent.h>
#include <fstream>
#include <string>

namespace off = companion::off;
using testhost::Host;
using testhost::Instance;
using testhost::PluginFixture;

TEST(ControlBlockLayout, MatchesTheCompanionsTable) {
    // Two tables written independently: the plug-in's structure and the companion's offsets.
    const std::pair<size_t, size_t> fields[] = {
        {offsetof(ControlBlock, magic), off::magic},
        {offsetof(ControlBlock, writePosFraction), off::writePosFraction},
        {offsetof(ControlBlock, updateCounter), off::updateCounter},
        {offsetof(ControlBlock, active), off::active},
        {offsetof(ControlBlock, previewRequest), off::previewRequest},
        {offsetof(ControlBlock, previewStart), off::previewStart},
        {offsetof(ControlBlock, captureHold), off::captureHold},
        {offsetof(ControlBlock, silenceThreshold), off::silenceThreshold},
        {offsetof(ControlBlock, playheadFraction), off::playheadFraction},
        {offsetof(ControlBlock, insertRequest), off::insertRequest},
        {offsetof(ControlBlock, selectionStart), off::selectionStart},
        {offsetof(ControlBlock, selectionLength), off::selectionLength},
        {offsetof(ControlBlock, targetTrack), off::targetTrack},
        {offsetof(ControlBlock, snapshotRequest), off::snapshotRequest},
        {offsetof(ControlBlock, snapshotReady), off::snapshotReady},
        {offsetof(ControlBlock, snapshotCount), off::snapshotCount},
        {offsetof(ControlBlock, snapshotBytes), off::snapshotBytes},
        {offsetof(ControlBlock, sampleRate), off::sampleRate},
        {offsetof(ControlBlock, heartbeatMs), off::heartbeatMs},
        {offsetof(ControlBlock, momentaryLufs), off::momentaryLufs},
        {offsetof(ControlBlock, shortTermLufs), off::shortTermLufs},
        {offsetof(ControlBlock, shortTermMaxLufs), off::shortTermMaxLufs},
        {offsetof(ControlBlock, integratedLufs), off::integratedLufs},
        {offsetof(ControlBlock, momentaryMaxLufs), off::momentaryMaxLufs},
        {offsetof(ControlBlock, rmsDb), off::rmsDb},
        {offsetof(ControlBlock, rmsMaxDb), off::rmsMaxDb},
        {offsetof(ControlBlock, peakDb), off::peakDb},
        {offsetof(ControlBlock, crestDb), off::crestDb},
        {offsetof(ControlBlock, resetMetersRequest), off::resetMetersRequest},
        {offsetof(ControlBlock, rateMismatch), off::rateMismatch},
        {offsetof(ControlBlock, capturedRate), off::capturedRate},
        {offsetof(ControlBlock, clearRequest), off::clearRequest},
        {offsetof(ControlBlock, lastOverviewColumn), off::lastOverviewColumn},
        {offsetof(ControlBlock, overviewMinL), off::overviewMinL},
        {offsetof(ControlBlock, overviewMaxL), off::overviewMaxL},
        {offsetof(ControlBlock, overviewMinR), off::overviewMinR},
        {offsetof(ControlBlock, overviewMaxR), off::overviewMaxR},
    };
    for (const auto& [plugin, companionOffset] : fields)
        EXPECT_EQ(plugin, companionOffset);
    EXPECT_EQ(sizeof(ControlBlock), companion::kControlBytes);
    EXPECT_EQ(companion::kControlBytes, 256u + 4u * 64000u * 4u);
    const uint8_t magicBytes[4] = {0x53, 0x56, 0x52, 0x4F};
    uint32_t magic;
    std::memcpy(&magic, magicBytes, 4);
    EXPECT_EQ(magic, kControlMagic);
}

namespace {

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

int controlMappings() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find(companion::kControlName) != std::string::npos;
    return count;
}

}  // namespace

class Attach : public PluginFixture {};

TEST_F(Attach, ActivationPublishesRateAndActiveFlag) {
    start(44100.0);
    EXPECT_EQ(control.load<uint8_t>(off::active), 1);
    EXPECT_EQ(control.load<double>(off::sampleRate), 44100.0);
    EXPECT_EQ(control.load<uint8_t>(off::rateMismatch), 0);
    instance->deactivate();
    EXPECT_EQ(control.load<uint8_t>(off::active), 0);
    ASSERT_TRUE(instance->activate(96000.0));
    EXPECT_EQ(control.load<uint8_t>(off::active), 1);
    EXPECT_EQ(control.load<double>(off::sampleRate), 96000.0);
}

TEST_F(Attach, ForeignMagicIsIgnoredAndNothingLeaks) {
    control.remove();
    ASSERT_TRUE(control.create(companion::kControlBytes, 0x4F525654));  // one byte off
    Host host;
    Instance instance(host);
    ASSERT_TRUE(instance.init());
    ASSERT_TRUE(instance.activate(48000.0));
    instance.deactivate();
    const int descriptors = openDescriptors();
    const int mappings = controlMappings();
    for (int i = 0; i < 40; ++i) {  // every activation retries the attach
        ASSERT_TRUE(instance.activate(48000.0));
        std::vector<float> in(512, 0.5f), out(512);
        EXPECT_EQ(instance.process(in.data(), in.data(), out.data(), out.data(), 512),
                  CLAP_PROCESS_CONTINUE);
        EXPECT_EQ(out, in);
        instance.deactivate();
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(controlMappings(), mappings);
    EXPECT_EQ(control.load<uint8_t>(off::active), 0);
    EXPECT_EQ(control.load<double>(off::sampleRate), 0.0);
    EXPECT_EQ(control.load<uint32_t>(off::updateCounter), 0u);
}

TEST_F(Attach, ShortSegmentIsTreatedAsAbsent) {
    for (size_t size : {size_t{4}, size_t{256}, companion::kControlBytes - 1}) {
        control.remove();
        ASSERT_TRUE(control.create(size));
        Host host;
        Instance instance(host);
        ASSERT_TRUE(instance.init());
        ASSERT_TRUE(instance.activate(48000.0));
        std::vector<float> in(4800, 0.5f), out(4800);
        EXPECT_EQ(instance.process(in.data(), in.data(), out.data(), out.data(), 4800),
                  CLAP_PROCESS_CONTINUE)
            << size;
        EXPECT_EQ(out, in);
        if (size >= 17) {
            EXPECT_EQ(control.load<uint8_t>(off::active), 0) << size;
        }
    }
}

TEST_F(Attach, CompanionStartingAfterInitIsFoundAtActivation) {
    control.remove();
    Host host;
    Instance instance(host);
    ASSERT_TRUE(instance.init());
    ASSERT_TRUE(control.create());
    ASSERT_TRUE(instance.activate(48000.0));
    EXPECT_EQ(control.load<uint8_t>(off::active), 1);
    EXPECT_EQ(control.load<double>(off::sampleRate), 48000.0);
    std::vector<float> in(512, 0.5f), out(512);
    instance.process(in.data(), in.data(), out.data(), out.data(), 512);
    EXPECT_EQ(control.load<uint32_t>(off::updateCounter), 1u);
}

TEST_F(Attach, RequestBytesCountOnlyWhenExactlyOne) {
    start(8000.0);
    control.store<uint8_t>(off::clearRequest, 2);
    control.store<uint8_t>(off::resetMetersRequest, 255);
    control.store<uint8_t>(off::snapshotRequest, 3);
    run(512, 0.5f, 0.5f);
    EXPECT_EQ(control.load<uint8_t>(off::clearRequest), 2);
    EXPECT_EQ(control.load<uint8_t>(off::resetMetersRequest), 255);
    EXPECT_EQ(control.load<uint8_t>(off::snapshotRequest), 3);
    EXPECT_EQ(control.load<uint8_t>(off::snapshotReady), 0);
    EXPECT_EQ(writtenFrames(), 512u) << "clearRequest 2 cleared nothing";
    control.store<uint8_t>(off::clearRequest, 1);
    run(0, 0.0f, 0.0f);
    EXPECT_EQ(control.load<uint8_t>(off::clearRequest), 0);
    EXPECT_EQ(writtenFrames(), 0u);
}

TEST_F(Attach, CompanionStartingAfterTheFirstActivationCanTakeSnapshots) {
    control.remove();
    Host host;
    Instance instance(host);
    ASSERT_TRUE(instance.init());
    ASSERT_TRUE(instance.activate(8000.0));
    std::vector<float> in(800, 0.5f), out(800);
    instance.process(in.data(), in.data(), out.data(), out.data(), 800);
    instance.deactivate();
    ASSERT_TRUE(control.create());
    control.store<uint8_t>(off::snapshotReady, 1);  // stale bytes the plug-in must reset
    control.store<uint8_t>(off::snapshotRequest, 3);
    ASSERT_TRUE(instance.activate(8000.0));
    EXPECT_EQ(control.load<uint32_t>(off::snapshotBytes), 8000u * 120u * sizeof(float));
    EXPECT_EQ(control.load<uint8_t>(off::snapshotReady), 0);
    EXPECT_EQ(control.load<uint8_t>(off::snapshotRequest), 0);
    control.requestSnapshot(0.0f, 0.5f);
    instance.process(in.data(), in.data(), out.data(), out.data(), 0);
    EXPECT_EQ(control.load<uint8_t>(off::snapshotReady), 1);
    EXPECT_EQ(control.loadPlain<uint32_t>(off::snapshotCount), 480000u);
    companion::SnapshotReader reader;
    ASSERT_TRUE(reader.open(480000 * sizeof(float)));
    EXPECT_EQ(reader.data()[0], 0.5f);
}

TEST_F(Attach, RestartedOrVanishedCompanionIsNoticedAtActivation) {
    start(8000.0);
    companion::ControlSegment old;  // the first companion's view, kept past its name
    ASSERT_TRUE(old.open());
    run(800, 0.5f, 0.5f);
    const uint32_t oldCount = old.load<uint32_t>(off::updateCounter);
    control.remove();
    ASSERT_TRUE(control.create());  // a new segment under the same name

    run(800, 0.5f, 0.5f);  // processing never switches: only an activation does
    EXPECT_EQ(control.load<uint32_t>(off::updateCounter), 0u);
    instance->deactivate();
    ASSERT_TRUE(instance->activate(8000.0));
    EXPECT_EQ(control.load<uint8_t>(off::active), 1);
    EXPECT_EQ(control.load<double>(off::sampleRate), 8000.0);
    EXPECT_EQ(control.load<uint32_t>(off::snapshotBytes), 8000u * 120u * sizeof(float));
    EXPECT_EQ(old.load<uint8_t>(off::active), 0);  // the old block hears it was left
    EXPECT_EQ(old.load<uint32_t>(off::snapshotBytes), 0u);
    run(800, 0.5f, 0.5f);
    EXPECT_EQ(control.load<uint32_t>(off::updateCounter), oldCount + 2);
    EXPECT_EQ(old.load<uint32_t>(off::updateCounter), oldCount + 1);
    old.close();

    // The name removed with nothing in its place: the mapping goes too.
    control.remove();
    instance->deactivate();
    ASSERT_TRUE(instance->activate(8000.0));
    EXPECT_EQ(controlMappings(), 0);
    EXPECT_EQ(run(800, 0.5f, 0.5f), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(instance->lastOutLeft(), inL);
}
