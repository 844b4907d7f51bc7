// The daemon's engine against the real plug-in: the control block's create-or-reuse, liveness,
// takes, the request handshakes and stretches that land on exactly the frames asked for.
#include "companion/engine.h"
#include "live_host.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <thread>

namespace off = companion::off;
using companion::Engine;
using companion::PluginState;
using testhost::LiveHost;

namespace {

constexpr double kRate = 48000.0;

std::filesystem::path freshExportDir(const char* name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tessarin-engine-test-" + std::to_string(getpid()) + "-" + name);
    std::filesystem::remove_all(dir);
    return dir;
}

// Polls the engine's status until pred holds or timeoutMs passes.
template <class Pred> bool waitFor(const Engine& engine, Pred pred, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred(engine.status()))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred(engine.status());
}

struct StatInfo {
    off_t size;
    mode_t mode;
    ino_t inode;
};
StatInfo statControl() {
    struct stat info {};
    EXPECT_EQ(stat((std::string("/dev/shm/") + companion::kControlName).c_str(), &info), 0);
    return {info.st_size, info.st_mode & 0777, info.st_ino};
}

std::vector<float> readFrames(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr)
        return {};
    std::vector<float> frames(static_cast<size_t>(info.frames) * 2);
    EXPECT_EQ(info.channels, 2);
    sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    return frames;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { companion::ControlSegment::unlinkName(); }
    void TearDown() override {
        live.reset();
        if (engine)
            engine->stop();
        engine.reset();
        companion::ControlSegment::unlinkName();
        std::filesystem::remove_all(exportDir);
    }
    void startEngine() {
        engine = std::make_unique<Engine>(companion::EngineOptions{exportDir});
        std::string error;
        ASSERT_TRUE(engine->start(error)) << error;
    }
    void startPlugin() {
        live = std::make_unique<LiveHost>(kRate);
        ASSERT_TRUE(live->start());
        ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.state == PluginState::live; }));
    }

    std::filesystem::path exportDir = freshExportDir("engine");
    std::unique_ptr<Engine> engine;
    std::unique_ptr<LiveHost> live;
};

}  // namespace

TEST_F(EngineTest, CreatesTheBlockPrivateAndKeepsAnAttachedPluginAcrossARestart) {
    startEngine();
    const StatInfo made = statControl();
    EXPECT_EQ(made.size, static_cast<off_t>(companion::kControlBytes));
    EXPECT_EQ(made.mode, 0600u);
    {
        companion::ControlSegment view;
        ASSERT_TRUE(view.open());
        EXPECT_EQ(view.load<uint32_t>(off::magic), companion::kControlMagic);
        EXPECT_EQ(view.loadPlain<float>(off::silenceThreshold), 2.5e-4f);
        EXPECT_EQ(view.loadPlain<int32_t>(off::lastOverviewColumn), -1);
        EXPECT_EQ(view.loadPlain<double>(off::momentaryMaxLufs), -200.0);
        EXPECT_EQ(view.loadPlain<double>(off::crestDb), -200.0);
    }
    EXPECT_EQ(engine->status().state, PluginState::noPlugin);

    startPlugin();
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return s.instances == 1; }));

    // A daemon restart: the plug-in keeps its mapping, so the block must be the same one.
    const uint32_t countBefore = engine->status().updateCounter;
    engine->stop();
    engine.reset();
    startEngine();
    EXPECT_EQ(statControl().inode, made.inode);
    EXPECT_TRUE(waitFor(*engine, [&](const auto& s) {
        return s.state == PluginState::live && s.updateCounter != countBefore;
    }));

    // A second instance maps the same block: both overwrite each other's status.
    LiveHost second(kRate);
    ASSERT_TRUE(second.start());
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return s.instances == 2; }));
}

TEST_F(EngineTest, LeavesForeignSegmentsAloneAndMendsAHalfMadeOne) {
    std::string error;
    {
        companion::ControlSegment other;  // another program's segment of the same name
        ASSERT_TRUE(other.create(4096));
    }
    Engine refused(companion::EngineOptions{exportDir});
    EXPECT_FALSE(refused.start(error));
    EXPECT_NE(error.find("4096 bytes"), std::string::npos) << error;
    EXPECT_EQ(statControl().size, 4096);

    if (geteuid() == 0) {
        companion::ControlSegment::unlinkName();
        {
            companion::ControlSegment theirs;
            ASSERT_TRUE(theirs.create());
        }
        ASSERT_EQ(chown((std::string("/dev/shm/") + companion::kControlName).c_str(), 65534, 65534),
                  0);
        error.clear();
        EXPECT_FALSE(refused.start(error));
        EXPECT_NE(error.find("another user"), std::string::npos) << error;
    }

    // Right size, no magic: a companion died while making it.
    companion::ControlSegment::unlinkName();
    companion::ControlSegment halfMade;
    ASSERT_TRUE(halfMade.create(companion::kControlBytes, 0));
    halfMade.storePlain<double>(off::rmsMaxDb, 0.0);
    startEngine();
    EXPECT_EQ(halfMade.load<uint32_t>(off::magic), companion::kControlMagic);
    EXPECT_EQ(halfMade.loadPlain<double>(off::rmsMaxDb), -200.0);
    EXPECT_EQ(statControl().mode, 0600u);
}

TEST_F(EngineTest, FollowsThePluginThroughItsLifecycle) {
    startEngine();
    startPlugin();
    live->setMode(LiveHost::Mode::stopped);  // the host stops processing
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return s.state == PluginState::stalled; }));
    live->paused([&] { live->instance().deactivate(); });
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return s.state == PluginState::inactive; }));
    live->paused([&] { live->instance().destroy(); });
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) {
        return s.state == PluginState::noPlugin && s.instances == 0;
    }));
}

TEST_F(EngineTest, InsertionInAHostWithoutTheExtensionTimesOutAndSaysSo) {
    startEngine();
    startPlugin();
    const companion::Outcome first = engine->insert(0.0f, 0.01f, 0);
    EXPECT_FALSE(first.ok);
    EXPECT_EQ(first.httpStatus, 409);
    EXPECT_EQ(first.error, companion::kCannotInsertReason);
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    EXPECT_EQ(view.load<uint8_t>(off::insertRequest), 0);  // lowered for the plug-in
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return !s.canInsert; }));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(engine->insert(0.0f, 0.01f, 0).error, companion::kCannotInsertReason);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
}

TEST_F(EngineTest, TakesSplitAtPausesAndSaveExactlyTheirFrames) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    live->setMode(LiveHost::Mode::silent);  // the gate closes after its tail
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    const uint64_t resumedAt = live->loudFrames();
    live->setMode(LiveHost::Mode::loud);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(engine->setHold(true).ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.hold; }));

    const companion::EngineStatus status = engine->status();
    ASSERT_EQ(status.takes.size(), 2u);
    EXPECT_GT(status.takes[1].wallClockMs, status.takes[0].wallClockMs + 1000);
    EXPECT_NEAR(status.capturedSeconds, status.takes[0].seconds + status.takes[1].seconds, 1e-6);

    companion::ExportResult saved{};
    const companion::Outcome outcome = engine->saveTake(-1, {}, saved);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    // Named after the take's start on the wall clock, not the moment of the save.
    {
        const std::time_t began = status.takes[1].wallClockMs / 1000;
        std::tm local{};
        localtime_r(&began, &local);
        char expected[64];
        std::strftime(expected, sizeof expected, "tessarin_%Y-%m-%d_%H-%M-%S.wav", &local);
        EXPECT_EQ(saved.path.filename().string(), expected);
    }
    const std::vector<float> take = readFrames(saved.path);
    ASSERT_NEAR(take.size() / 2.0, status.takes[1].seconds * kRate, 1.0);
    for (size_t i = 0; i < take.size() / 2; ++i) {
        ASSERT_EQ(take[2 * i], LiveHost::loudLeft(resumedAt + i)) << "frame " << i;
        ASSERT_EQ(take[2 * i + 1], LiveHost::loudRight(resumedAt + i)) << "frame " << i;
    }

    // The newest second: the frames just behind the (held) write head.
    const std::vector<float> ringWhole = [&] {
        companion::Engine::Stretch s;
        EXPECT_TRUE(engine->snapshot(0.0f, 1.0f, s).ok);
        return s.frames;
    }();
    ASSERT_TRUE(engine->saveLast(1.0, {}, saved).ok);
    const std::vector<float> last = readFrames(saved.path);
    ASSERT_EQ(last.size(), 2u * 48000u);
    const size_t head = static_cast<size_t>(
        std::llround(double(status.writePosFraction) * double(ringWhole.size()) / 2.0));
    for (size_t i = 0; i < 48000; ++i)
        ASSERT_EQ(last[2 * i], ringWhole[2 * (head - 48000 + i)]) << "frame " << i;
}

TEST_F(EngineTest, AWholeRingSavedWhileCapturingHoldsNoNewerAudioAtItsStart) {
    // At 8 kHz, 30 times real time: the ring wraps within seconds and the head moves a fair way
    // between the status a stretch is chosen from and the plug-in's answer.
    startEngine();
    live = std::make_unique<LiveHost>(8000.0, 480, 2000);
    ASSERT_TRUE(live->start());
    ASSERT_TRUE(waitFor(
        *engine,
        [](const auto& s) {
            return s.state == PluginState::live && s.capturedSeconds >= s.ringSeconds;
        },
        5000));
    companion::ExportResult saved{};
    const companion::Outcome outcome = engine->saveLast(120.0, {}, saved);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    const std::vector<float> ring = readFrames(saved.path);
    ASSERT_GT(ring.size() / 2, 59 * 8000u);
    // One unbroken run of the ramp, oldest first: newer audio at the front would break it.
    for (size_t i = 1; i < ring.size() / 2; ++i) {
        const float step = ring[2 * i] - ring[2 * i - 2];
        const bool rampStartsAgain = ring[2 * i] == 0.25f;
        ASSERT_TRUE(step == LiveHost::kRampStep || rampStartsAgain)
            << "frame " << i << ": " << ring[2 * i - 2] << " then " << ring[2 * i];
    }
}

TEST_F(EngineTest, PreviewRestartsElsewhereAndClearEmptiesEverything) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(engine->preview(0.001f).ok);
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return s.playheadFraction >= 0.001f; }));
    ASSERT_TRUE(engine->preview(0.5f).ok);  // while playing: lower, wait, raise
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) {
        return s.playheadFraction >= 0.5f && s.playheadFraction < 0.6f;  // 1.2 s at 5x
    }));
    ASSERT_TRUE(engine->stopPreview().ok);
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) { return s.playheadFraction < 0.0f; }));

    live->setMode(LiveHost::Mode::silent);
    ASSERT_TRUE(engine->clear().ok);
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) {
        return s.takes.empty() && s.capturedSeconds == 0.0 && s.writePosFraction == 0.0f;
    }));
    std::vector<companion::OverviewChange> changes;
    engine->overviewChanges(0, changes);
    ASSERT_EQ(changes.size(), 1u);
    for (const float v : changes[0].maxL)
        ASSERT_EQ(v, 0.0f);
}

TEST_F(EngineTest, MeterResetAlsoEmptiesTheHoldsAndTheCrest) {
    startEngine();
    startPlugin();
    // Loud for long enough that all three holds and the crest have values (a 400 ms window, at
    // five times real time), then silence, so nothing after the reset can raise them again.
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) {
        return !std::isnan(s.meters.momentaryMaxLufs) && !std::isnan(s.meters.rmsMaxDb) &&
               !std::isnan(s.meters.crestDb);
    }));
    live->setMode(LiveHost::Mode::silent);
    // Quiet enough that no hold takes a new value (they take only values above -70).
    const auto quiet = [](const auto& s) {
        return !(s.meters.momentaryLufs > -70.0) && !(s.meters.rmsDb > -70.0);
    };
    ASSERT_TRUE(waitFor(*engine, quiet));
    ASSERT_TRUE(engine->resetMeters().ok);
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    for (size_t field : {off::momentaryMaxLufs, off::shortTermMaxLufs, off::rmsMaxDb, off::crestDb})
        EXPECT_EQ(view.loadPlain<double>(field), companion::kNoValue) << "field at " << field;
    EXPECT_TRUE(waitFor(*engine, [](const auto& s) {
        return std::isnan(s.meters.momentaryMaxLufs) && std::isnan(s.meters.shortTermMaxLufs) &&
               std::isnan(s.meters.rmsMaxDb) && std::isnan(s.meters.crestDb);
    }));
    // Still empty a while later: the plug-in did not bring back a value from before the reset.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const companion::MeterValues m = engine->status().meters;
    EXPECT_TRUE(std::isnan(m.momentaryMaxLufs) && std::isnan(m.rmsMaxDb) && std::isnan(m.crestDb));

    // One hold at a time: the momentary one goes, the RMS one stays.
    live->setMode(LiveHost::Mode::loud);
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) {
        return !std::isnan(s.meters.momentaryMaxLufs) && !std::isnan(s.meters.rmsMaxDb);
    }));
    live->setMode(LiveHost::Mode::silent);
    ASSERT_TRUE(waitFor(*engine, quiet));
    const double truePeakMaxDb = engine->status().meters.truePeakMaxDb;
    ASSERT_TRUE(engine->resetHold(companion::MeterHold::momentaryMax).ok);
    EXPECT_TRUE(
        waitFor(*engine, [](const auto& s) { return std::isnan(s.meters.momentaryMaxLufs); }));
    EXPECT_FALSE(std::isnan(engine->status().meters.rmsMaxDb));
    // Not mistaken for the plug-in's own restart of all meters: the feed's holds stay.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(engine->status().meters.truePeakMaxDb, truePeakMaxDb);
}

// A daemon killed mid-request leaves its request byte up. The restarted daemon lowers every one
// it did not raise itself, so the plug-in does not act on them when its host resumes.
TEST_F(EngineTest, ARestartLowersTheRequestsADeadDaemonLeftRaised) {
    startEngine();
    startPlugin();
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.capturedSeconds > 0.05; }));
    live->setMode(LiveHost::Mode::stopped);  // the host pauses
    engine->stop();
    engine.reset();

    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    const float headBefore = view.load<float>(off::writePosFraction);
    const size_t requests[] = {off::clearRequest, off::snapshotRequest, off::insertRequest,
                               off::resetMetersRequest, off::previewRequest};
    for (const size_t request : requests)
        view.store<uint8_t>(request, 1);
    startEngine();
    for (const size_t request : requests)
        EXPECT_EQ(view.load<uint8_t>(request), 0) << "request byte at offset " << request;

    const uint32_t counter = view.load<uint32_t>(off::updateCounter);
    live->setMode(LiveHost::Mode::loud);  // the host resumes: nothing may be cleared
    ASSERT_TRUE(waitFor(*engine, [&](const auto& s) { return s.updateCounter - counter >= 3; }));
    EXPECT_GT(view.load<float>(off::writePosFraction), headBefore);
    EXPECT_EQ(view.load<uint8_t>(off::snapshotReady), 0);
}

// A program of the same user writing garbage into the block: rates outside what a plug-in can
// be activated at, meters no float input can produce. The engine shows none of it.
TEST_F(EngineTest, GarbageInTheBlockShowsNoAbsurdNumbers) {
    startEngine();
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    std::atomic<bool> beating{true};
    std::thread heart([&] {  // a fresh heartbeat, as from a live plug-in
        while (beating) {
            view.store<int64_t>(off::heartbeatMs,
                                std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    view.store<uint8_t>(off::active, 1);
    view.store<uint32_t>(off::snapshotBytes, 23040000u);  // 60 s at 48 kHz
    view.storePlain<double>(off::momentaryLufs, 1.0e300);
    view.storePlain<double>(off::peakDb, -1.0e300);
    for (const double garbage : {2.9e-317, 1.8e-139, 0.5, 9.0e6, -48000.0}) {
        view.store<double>(off::sampleRate, 48000.0);
        ASSERT_TRUE(waitFor(*engine, [](const auto& s) {
            return s.state == PluginState::live && s.sampleRateHz == 48000.0;
        }));
        EXPECT_EQ(engine->status().ringSeconds, 60.0);
        view.store<double>(off::sampleRate, garbage);
        ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.sampleRateHz != 48000.0; }));
        const companion::EngineStatus s = engine->status();
        EXPECT_EQ(s.sampleRateHz, 0.0) << "rate " << garbage;
        EXPECT_EQ(s.ringSeconds, 0.0) << "rate " << garbage;
    }
    // The plug-in's own extremes are shown: 1 Hz, and the fastest rate whose 60 s ring fits
    // the 32-bit byte count it is announced in.
    for (const double rate : {1.0, 8947848.0}) {
        view.store<double>(off::sampleRate, rate);
        EXPECT_TRUE(waitFor(*engine, [&](const auto& s) { return s.sampleRateHz == rate; }))
            << rate;
    }
    const companion::MeterValues meters = engine->status().meters;
    EXPECT_TRUE(std::isnan(meters.momentaryLufs)) << meters.momentaryLufs;
    EXPECT_TRUE(std::isnan(meters.samplePeakDb)) << meters.samplePeakDb;
    beating = false;
    heart.join();
}
