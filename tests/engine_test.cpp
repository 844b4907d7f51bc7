// The daemon's engine against the real plug-in: the control block's create-or-reuse, liveness,
// takes, the request handshakes and stretches that land on exactly the frames asked for.
#include "companion/engine.h"
#include "companion/takes.h"
#include "live_host.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
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
        history.reset();  // after the engine that writes to it
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
    std::unique_ptr<companion::History> history;
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
    // The restarted daemon adopts the ring as it finds it: one take whose start time is unknown.
    EXPECT_TRUE(waitFor(*engine, [&](const auto& s) {
        return s.copiedFrames > 0 && !s.takes.empty() && s.takes[0].wallClockMs == 0 &&
               s.takes[0].start < 1e-6f;
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
    // The head stands still once the tail is copied; a pause is longer than kTakePauseMs of it.
    const uint64_t fed = live->loudFrames() + static_cast<uint64_t>(kRate * 0.25) - 1;
    ASSERT_TRUE(waitFor(
        *engine, [&](const auto& s) { return s.copiedFrames >= fed; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(companion::kTakePauseMs + 500));
    const uint64_t resumedAt = live->loudFrames();
    live->setMode(LiveHost::Mode::loud);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(engine->setHold(true).ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.hold; }));
    // The copy catches up with the held head within its interval and one look.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(companion::kCopyIntervalMs + companion::kCopyIdlePollMs + 100));

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
    const double capturedBefore = engine->status().capturedSeconds;
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
    // The restarted daemon adopts the ring as it finds it once the host processes again.
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.capturedSeconds > 0.0; }));
    // A clear would leave nothing of what was captured before. (snapshotReady says nothing here:
    // the daemon's own copy asks for snapshots as soon as the host resumes.)
    EXPECT_GE(engine->status().capturedSeconds, capturedBefore);
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

// ---- The daemon's own copy ------------------------------------------------------------------

namespace {

// Quiet frames the gate writes after the last loud one: a quarter second less one frame.
constexpr uint64_t gateTailFrames(double rate) {
    return static_cast<uint64_t>(rate * 0.25) - 1;
}
constexpr uint64_t kGateTailFrames = gateTailFrames(kRate);

// Feeds silence until the gate has closed and the copy holds the tail.
void closeGate(LiveHost& live, const Engine& engine, double rate = kRate) {
    live.setMode(LiveHost::Mode::silent);
    const uint64_t fed = live.loudFrames() + gateTailFrames(rate);
    EXPECT_TRUE(waitFor(
        engine, [&](const auto& s) { return s.copiedFrames >= fed; }, 5000));
}

// The frame number (modulo the ramp's period) a loud left sample was fed at.
uint64_t rampFrame(float left) {
    return static_cast<uint64_t>(std::llround((left - 0.25f) / LiveHost::kRampStep));
}

}  // namespace

TEST_F(EngineTest, ATakeOutlivesItsInstanceAndTheNextInstanceStartsEmpty) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // 7.5 s of audio at 5x
    closeGate(*live, *engine);
    const uint64_t loud = live->loudFrames();
    const uint64_t firstGeneration = engine->status().generation;
    const uint64_t oldColumns = loud * 64000 / 2880000;  // loud columns; the tail's follow
    live.reset();  // the instance is destroyed: its ring and snapshot segment are gone
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.state == PluginState::noPlugin; }));

    // Every fed frame, loud and the gate's tail, from the daemon's copy.
    companion::ExportResult saved{};
    companion::Outcome outcome = engine->saveTake(-1, {}, saved);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    std::vector<float> take = readFrames(saved.path);
    ASSERT_EQ(take.size() / 2, loud + kGateTailFrames);
    for (uint64_t i = 0; i < loud; ++i) {
        ASSERT_EQ(take[2 * i], LiveHost::loudLeft(i)) << "frame " << i;
        ASSERT_EQ(take[2 * i + 1], LiveHost::loudRight(i)) << "frame " << i;
    }
    for (uint64_t i = loud; i < take.size() / 2; ++i)
        ASSERT_EQ(take[2 * i], 0.0f) << "frame " << i;
    EXPECT_TRUE(engine->saveLast(1.0, {}, saved).ok);

    // A new instance: a new generation whose ring holds only its own audio, though the control
    // block's columns still show the old instance's past the new head.
    live = std::make_unique<LiveHost>(kRate);
    ASSERT_TRUE(live->start());
    ASSERT_TRUE(waitFor(
        *engine,
        [&](const auto& s) {
            return s.state == PluginState::live && s.generation > firstGeneration &&
                   s.copiedFrames > 0;
        },
        6000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(engine->setHold(true).ok);
    // Held once the plug-in's head stands still (its block, not the engine's poll, says so).
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    float heldAt = -1.0f;
    for (int i = 0; i < 100 && view.load<float>(off::writePosFraction) != heldAt; ++i) {
        heldAt = view.load<float>(off::writePosFraction);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const uint64_t newLoud = live->loudFrames();
    ASSERT_TRUE(engine->saveLast(120.0, {}, saved).ok);
    EXPECT_FALSE(saved.note.empty());
    EXPECT_EQ(saved.requestedSeconds, 120.0);
    take = readFrames(saved.path);
    ASSERT_GT(take.size(), 0u);
    ASSERT_LE(take.size() / 2, newLoud)
        << "lost " << engine->status().lostCaptureFrames << ", generation "
        << engine->status().generation << " (first " << firstGeneration << "), copied "
        << engine->status().copiedFrames << ", note: " << saved.note;
    for (uint64_t i = 0; i < take.size() / 2; ++i)
        ASSERT_EQ(take[2 * i], LiveHost::loudLeft(i)) << "frame " << i;
    const companion::EngineStatus status = engine->status();
    EXPECT_NEAR(status.capturedSeconds, static_cast<double>(take.size() / 2) / kRate, 1e-9);
    ASSERT_EQ(status.takes.size(), 1u);
    EXPECT_LT(status.takes[0].start, 1e-6f);  // the ring's first frame

    // The old audio is still in the control block beyond the new head, and shown nowhere.
    // The engine's columns follow the block at its next poll (later on a loaded machine).
    const uint32_t newColumns = static_cast<uint32_t>(heldAt * 64000) + 2;
    std::vector<companion::OverviewChange> changes;
    EXPECT_TRUE(waitFor(*engine, [&](const auto&) {
        engine->overviewChanges(0, changes);
        return changes.size() == 1 && changes[0].maxL[newColumns / 2] > 0.25f;
    }));
    ASSERT_LT(newColumns + 100, oldColumns);
    EXPECT_GE(view.overview(off::overviewMaxL, static_cast<uint32_t>(oldColumns) - 50), 0.25f);
    for (uint32_t column = newColumns; column < 64000; ++column)
        ASSERT_EQ(changes[0].maxL[column], 0.0f) << "column " << column;
    EXPECT_GT(changes[0].maxL[newColumns / 2], 0.25f);
}

TEST_F(EngineTest, SavesWorkWhileTheHostStopsAndEndAtTheLastCapturedFrame) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(std::isfinite(engine->status().meters.rmsDb));  // the ramp: DC to K-weighting
    closeGate(*live, *engine);
    const uint64_t loud = live->loudFrames();
    live->setMode(LiveHost::Mode::stopped);
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.state == PluginState::stalled; }));
    // A stalled host's last moments are not shown as if they were playing; what was measured is.
    const companion::MeterValues stalled = engine->status().meters;
    EXPECT_TRUE(std::isnan(stalled.momentaryLufs) && std::isnan(stalled.shortTermLufs) &&
                std::isnan(stalled.rmsDb));
    EXPECT_TRUE(std::isnan(stalled.truePeakDb) && std::isnan(stalled.channelRmsDb[0]));
    EXPECT_TRUE(std::isfinite(stalled.rmsMaxDb) && std::isfinite(stalled.samplePeakDb) &&
                std::isfinite(stalled.truePeakMaxDb));

    companion::ExportResult saved{};
    const companion::Outcome outcome = engine->saveLast(0.5, {}, saved);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_TRUE(saved.note.empty()) << saved.note;
    const std::vector<float> last = readFrames(saved.path);
    ASSERT_EQ(last.size() / 2, 24000u);
    const uint64_t loudInFile = 24000 - kGateTailFrames;
    for (uint64_t i = 0; i < loudInFile; ++i)
        ASSERT_EQ(last[2 * i], LiveHost::loudLeft(loud - loudInFile + i)) << "frame " << i;
    for (uint64_t i = loudInFile; i < 24000; ++i)
        ASSERT_EQ(last[2 * i + 1], 0.0f) << "frame " << i;

    // More than was captured: what there is, and the answer says so.
    ASSERT_TRUE(engine->saveLast(600.0, {}, saved).ok);
    EXPECT_EQ(saved.frames, loud + kGateTailFrames);
    EXPECT_EQ(saved.requestedSeconds, 600.0);
    EXPECT_NE(saved.note.find("are captured"), std::string::npos) << saved.note;

    // The deepest zoom reads the same copy: the first frames of the ring.
    companion::SampleStretch samples;
    ASSERT_TRUE(engine->samples(0.0f, 0.001f, samples).ok);
    ASSERT_EQ(samples.left.size(), 2880u);  // 0.001 of a 2,880,000-frame ring
    for (size_t i = 0; i < samples.left.size(); ++i)
        ASSERT_EQ(samples.right[i], LiveHost::loudRight(i)) << "frame " << i;
    EXPECT_EQ(engine->samples(0.0f, 0.01f, samples).httpStatus, 400);  // 28,800 frames
}

TEST_F(EngineTest, SaveLastWhileLiveEndsWithinOneBlockOfTheRequest) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    constexpr uint64_t kBlock = 480;
    for (int round = 0; round < 5; ++round) {
        const uint64_t asked = live->loudFrames();  // counts the block in progress too
        companion::ExportResult saved{};
        const companion::Outcome outcome = engine->saveLast(0.25, {}, saved);
        ASSERT_TRUE(outcome.ok) << outcome.error;
        const std::vector<float> last = readFrames(saved.path);
        ASSERT_EQ(last.size() / 2, 12000u);
        const uint64_t after = live->loudFrames();
        // Where the file ends against the request, modulo the ramp's period: at most a block
        // behind it (the head the last block published), or blocks that ran during the request.
        const uint64_t end = rampFrame(last[last.size() - 2]) + 1;
        int64_t offset = static_cast<int64_t>(
            (end + LiveHost::kRampFrames - asked % LiveHost::kRampFrames) % LiveHost::kRampFrames);
        if (offset > static_cast<int64_t>(LiveHost::kRampFrames / 2))
            offset -= static_cast<int64_t>(LiveHost::kRampFrames);
        EXPECT_GE(offset, -2 * static_cast<int64_t>(kBlock)) << "round " << round;
        EXPECT_LE(offset, static_cast<int64_t>(after - asked)) << "round " << round;
        for (uint64_t i = 1; i < 12000; ++i)
            ASSERT_EQ(rampFrame(last[2 * i]), (rampFrame(last[0]) + i) % LiveHost::kRampFrames);
        std::this_thread::sleep_for(std::chrono::milliseconds(73));
    }
}

TEST_F(EngineTest, AnOfflineRenderAtAHundredTimesRealTimeLosesNothing) {
    startEngine();
    // 16,384-frame blocks with 2.4 ms between them: about 100 times real time at 48 kHz with
    // the block's own work (3.4 ms a block), some eight laps of the ring in five seconds.
    live = std::make_unique<LiveHost>(kRate, 16384, 2400);
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(live->start());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    closeGate(*live, *engine);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const uint64_t loud = live->loudFrames();
    RecordProperty("speed", std::to_string(static_cast<double>(loud) / kRate / seconds));
    const companion::EngineStatus status = engine->status();
    EXPECT_EQ(status.lostCaptureFrames, 0u);
    EXPECT_EQ(status.copiedFrames, loud + kGateTailFrames);
#if !defined(__SANITIZE_THREAD__)  // far slower there: the copy's checks above still hold
    EXPECT_GT(loud, 3 * 2880000u) << "the render should lap the ring several times";
#endif

    // The newest ring's worth, bit for bit.
    companion::ExportResult saved{};
    ASSERT_TRUE(engine->saveLast(60.0, {}, saved).ok);
    const std::vector<float> ring = readFrames(saved.path);
    ASSERT_EQ(ring.size() / 2, 2880000u);
    const uint64_t first = loud + kGateTailFrames - 2880000;
    for (uint64_t i = 0; i + kGateTailFrames < ring.size() / 2; ++i)
        ASSERT_EQ(ring[2 * i], LiveHost::loudLeft(first + i)) << "frame " << i;
}

TEST_F(EngineTest, AHeadThatLapsTheCopyCountsTheLossAndFillsNothing) {
    startEngine();
    // At 8 kHz in 16,384-frame blocks as fast as the plug-in goes: the 480,000-frame ring laps
    // many times while a request keeps the copy waiting.
    live = std::make_unique<LiveHost>(8000.0, 16384, 0);
    ASSERT_TRUE(live->start());
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.copiedFrames > 0; }));
    // A host without the project extension keeps the insert waiting for its whole timeout.
    EXPECT_FALSE(engine->insert(0.0f, 0.01f, 0).ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The lost frames are counted as at least the lap the copy could see: wait for the copy
    // to hold a whole ring again (slow under ThreadSanitizer) instead of for every frame to be
    // accounted for.
    live->setMode(LiveHost::Mode::silent);
    EXPECT_TRUE(waitFor(
        *engine, [](const auto& s) { return s.capturedSeconds == 60.0; }, 10000));
    for (uint64_t copied = 0, tries = 0; tries < 20 && engine->status().copiedFrames != copied;
         ++tries) {  // and the gate's tail
        copied = engine->status().copiedFrames;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    const uint64_t written = live->loudFrames() + gateTailFrames(8000.0);
    const companion::EngineStatus status = engine->status();
    EXPECT_GT(status.lostCaptureFrames, 0u);
    EXPECT_LE(status.copiedFrames + status.lostCaptureFrames, written);
    EXPECT_EQ(status.capturedSeconds, 60.0);

    // What is kept is the ramp without a break: lost frames are never filled in.
    companion::ExportResult saved{};
    ASSERT_TRUE(engine->saveLast(60.0, {}, saved).ok);
    const std::vector<float> ring = readFrames(saved.path);
    ASSERT_EQ(ring.size() / 2, 480000u);
    const uint64_t loudInRing = ring.size() / 2 - gateTailFrames(8000.0);
    const uint64_t start = rampFrame(ring[0]);
    EXPECT_EQ((start + loudInRing) % LiveHost::kRampFrames,
              live->loudFrames() % LiveHost::kRampFrames);
    for (uint64_t i = 0; i < loudInRing; ++i)
        ASSERT_EQ(ring[2 * i], LiveHost::loudLeft(start + i)) << "frame " << i;
}

TEST_F(EngineTest, AClearTheDaemonDidNotSeeBeginsANewRingAndFillsNothing) {
    startEngine();
    startPlugin();
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.capturedSeconds > 2.0; }));
    const uint64_t generation = engine->status().generation;
    // Raised behind the engine's back, as when its own request timed out just as the plug-in
    // took it: the plug-in clears, the head starts again at 0 and loud audio goes on.
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    const uint64_t loudBefore = live->loudFrames();
    view.store<uint8_t>(off::clearRequest, 1);
    ASSERT_TRUE(waitFor(*engine, [&](const auto& s) { return s.generation > generation; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const companion::EngineStatus status = engine->status();
    EXPECT_EQ(status.lostCaptureFrames, 0u);
    // Only what was written after the request, none of the earlier ring.
    EXPECT_LE(status.copiedFrames, live->loudFrames() - loudBefore);

    // Everything held is the ramp since the clear, without a zero filled in.
    companion::ExportResult saved{};
    ASSERT_TRUE(engine->saveLast(60.0, {}, saved).ok);
    const std::vector<float> ring = readFrames(saved.path);
    ASSERT_GT(ring.size(), 0u);
    const uint64_t start = rampFrame(ring[0]);
    for (uint64_t i = 0; i < ring.size() / 2; ++i)
        ASSERT_EQ(ring[2 * i], LiveHost::loudLeft(start + i)) << "frame " << i;
}

TEST_F(EngineTest, APreviewEndsByItselfWithNoPageWatching) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // 3 s of audio
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());

    // With a length: lowered once the playhead has gone that far (1 s of audio here, 0.2 s at
    // 5x), and no later than the copy thread's next look (20 ms: 0.1 s of audio, 0.0017 of the
    // ring) plus the fade. The furthest playhead seen tells where it ended.
    constexpr float kStart = 0.001f, kLength = 1.0f / 60.0f;
    ASSERT_TRUE(engine->preview(kStart, kLength).ok);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    float furthest = -1.0f;
    for (bool up = true; up && std::chrono::steady_clock::now() < deadline;) {
        up = view.load<uint8_t>(off::previewRequest) == 1;
        furthest = std::max(furthest, view.load<float>(off::playheadFraction));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(view.load<uint8_t>(off::previewRequest), 0) << "the preview never stopped";
    EXPECT_GE(furthest, kStart + kLength - 0.002f);  // a few missed looks on a busy machine
    EXPECT_LE(furthest, kStart + kLength + 0.004f);

    // Without a length: it plays until no page has asked for the overview for two seconds.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine->preview(0.001f).ok);
    std::vector<companion::OverviewChange> changes;
    while (std::chrono::steady_clock::now() - started < std::chrono::seconds(1)) {
        engine->overviewChanges(0, changes);  // a page watching
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(view.load<uint8_t>(off::previewRequest), 1);
    while (view.load<uint8_t>(off::previewRequest) == 1 &&
           std::chrono::steady_clock::now() - started < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double ranSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(view.load<uint8_t>(off::previewRequest), 0);
    EXPECT_GT(ranSeconds, 2.9);  // the page's last look at 0.9 s, then two seconds
    EXPECT_LT(ranSeconds, 3.3);
}

TEST_F(EngineTest, AnActivationAtAnotherRateBeginsAnEmptyGeneration) {
    startEngine();
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    closeGate(*live, *engine);
    const uint64_t before = engine->status().generation;
    // The ring keeps the 48 kHz audio (and, mismatched, records nothing more): none of it is
    // the new generation's.
    live->paused([&] {
        live->instance().deactivate();
        ASSERT_TRUE(live->instance().activate(44100.0));
    });
    ASSERT_TRUE(waitFor(*engine, [&](const auto& s) {
        return s.generation > before && s.state == PluginState::live && s.rateMismatch;
    }));
    const companion::EngineStatus status = engine->status();
    EXPECT_EQ(status.capturedSeconds, 0.0);
    EXPECT_TRUE(status.takes.empty());
    companion::ExportResult saved{};
    EXPECT_EQ(engine->saveLast(1.0, {}, saved).httpStatus, 409);
    EXPECT_EQ(engine->exportStretch(0.0f, 0.01f, {}, saved).httpStatus, 409);
    std::vector<companion::OverviewChange> changes;
    EXPECT_TRUE(waitFor(*engine, [&](const auto&) {
        engine->overviewChanges(0, changes);
        return changes.size() == 1 && std::all_of(changes[0].maxL.begin(), changes[0].maxL.end(),
                                                  [](float v) { return v == 0.0f; });
    }));
}

TEST_F(EngineTest, ARingSizeItsSegmentDoesNotHaveIsNeverAllocated) {
    startEngine();
    startPlugin();
    ASSERT_TRUE(waitFor(*engine, [](const auto& s) { return s.copiedFrames > 0; }));
    const uint64_t generation = engine->status().generation;
    auto residentBytes = [] {
        std::ifstream statm("/proc/self/statm");
        uint64_t size = 0, resident = 0;
        statm >> size >> resident;
        return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    };
    const uint64_t before = residentBytes();
    // Another process announces a 4 GiB ring for the 23 MB segment there is.
    companion::ControlSegment view;
    ASSERT_TRUE(view.open());
    const uint32_t real = view.load<uint32_t>(off::snapshotBytes);
    view.store<uint32_t>(off::snapshotBytes, 0xFFFFFFF8u);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_LT(residentBytes(), before + (256u << 20));
    EXPECT_EQ(engine->status().generation, generation);
    view.store<uint32_t>(off::snapshotBytes, real);
}

// ---- With the history on disk -------------------------------------------------------------

namespace {

std::unique_ptr<companion::History> openHistory(const std::filesystem::path& dir) {
    auto opened = std::make_unique<companion::History>();
    std::string error;
    EXPECT_TRUE(opened->open({dir}, error)) << error;
    return opened;
}

// Waits until the history holds a finished take of at least `frames` frames; returns it.
std::optional<companion::HistoryTake> finishedTake(const companion::History& history,
                                                   uint64_t frames) {
    // The writer measures each take as it goes: far slower under ThreadSanitizer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        const companion::HistorySummary summary = history.list();
        for (const companion::HistoryTake& take : summary.takes)
            if (!take.recording && take.frames >= frames)
                return take;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

}  // namespace

TEST_F(EngineTest, ATakeOfAGoneInstanceSavesBitExactFromTheHistory) {
    const std::filesystem::path historyDir = freshExportDir("history");
    history = openHistory(historyDir);
    engine = std::make_unique<Engine>(companion::EngineOptions{exportDir, true, history.get()});
    std::string error;
    ASSERT_TRUE(engine->start(error)) << error;
    startPlugin();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    closeGate(*live, *engine);
    const uint64_t loud = live->loudFrames();
    const uint64_t generation = engine->status().generation;
    ASSERT_TRUE(waitFor(
        *engine, [](const auto& s) { return s.takes.size() == 1 && s.takes[0].historyId > 0; }));
    const int64_t id = engine->status().takes[0].historyId;

    // The instance goes, another comes: the old take leaves the ring and stays in the history.
    live.reset();
    live = std::make_unique<LiveHost>(kRate);
    ASSERT_TRUE(live->start());
    ASSERT_TRUE(waitFor(*engine, [&](const auto& s) {
        return s.generation > generation && !s.takes.empty() && s.takes.back().historyId > id;
    }));
    for (const companion::Take& take : engine->status().takes)
        EXPECT_NE(take.historyId, id);

    const std::optional<companion::HistoryTake> kept = finishedTake(*history, loud);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->id, id);
    EXPECT_EQ(kept->frames, loud + kGateTailFrames);
    EXPECT_EQ(kept->generation, generation);
    EXPECT_EQ(kept->rateHz, kRate);
    std::vector<float> frames;
    ASSERT_TRUE(history->read(id, 0, kept->frames, frames, error)) << error;
    ASSERT_EQ(frames.size() / 2, loud + kGateTailFrames);
    for (uint64_t i = 0; i < loud; ++i)
        ASSERT_EQ(frames[2 * i + 1], LiveHost::loudRight(i)) << "frame " << i;
    for (uint64_t i = loud; i < frames.size() / 2; ++i)
        ASSERT_EQ(frames[2 * i], 0.0f) << "frame " << i;
    TearDown();
    std::filesystem::remove_all(historyDir);
}

TEST_F(EngineTest, AHundredTimesRealTimeRenderReachesTheHistoryWhole) {
    const std::filesystem::path historyDir = freshExportDir("history-render");
    history = openHistory(historyDir);
    engine = std::make_unique<Engine>(companion::EngineOptions{exportDir, true, history.get()});
    std::string error;
    ASSERT_TRUE(engine->start(error)) << error;
    live = std::make_unique<LiveHost>(kRate, 16384, 2400);
    ASSERT_TRUE(live->start());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    closeGate(*live, *engine);
    const uint64_t fed = live->loudFrames() + kGateTailFrames;
    EXPECT_EQ(engine->status().lostCaptureFrames, 0u);
    const std::optional<companion::HistoryTake> take = finishedTake(*history, fed);
    ASSERT_TRUE(take.has_value());
    EXPECT_EQ(take->frames, fed);
    // Every fed frame, read back a second at a time.
    std::vector<float> frames;
    for (uint64_t first = 0; first < live->loudFrames(); first += 48000) {
        ASSERT_TRUE(history->read(take->id, first, 48000, frames, error)) << error;
        const uint64_t n = std::min<uint64_t>(48000, live->loudFrames() - first);
        for (uint64_t i = 0; i < n; ++i)
            ASSERT_EQ(frames[2 * i], LiveHost::loudLeft(first + i)) << "frame " << first + i;
    }
    TearDown();
    std::filesystem::remove_all(historyDir);
}

TEST_F(EngineTest, AtHighRatesTakesEndingLateInTheRingAreCopiedWhole) {
    // A 60 s ring at 384 kHz holds 2^25.5 floats: past 2^25 one f32 write position stands for
    // several frames and the plug-in cannot name every other frame as a stretch's start. Two
    // takes end there at a head it cannot name (even blocks, an odd tail); the copy must neither
    // take a frame not yet written (the next take then looks like a lap) nor ask for a stretch a
    // frame off.
    constexpr double kHighRate = 384000.0;
    constexpr uint64_t kRingFrames = 60 * 384000;
    constexpr uint64_t kTail = gateTailFrames(kHighRate);
    static_assert(kTail % 2 == 1);
    startEngine();
    live = std::make_unique<LiveHost>(kHighRate, 3000, 300);
    ASSERT_TRUE(live->start());
    // Slow to start under the sanitizers: two 184 MB rings to make and map.
    ASSERT_TRUE(waitFor(
        *engine, [](const auto& s) { return s.copiedFrames > 0; }, 30000));
    const uint64_t generation = engine->status().generation;
    std::vector<uint64_t> takeEnds;  // loud frames fed before each gate closed
    for (const uint64_t until : {kRingFrames * 4 / 5, kRingFrames * 9 / 10}) {
        live->setMode(LiveHost::Mode::loud);
        for (int waited = 0; waited < 1200 && live->loudFrames() < until; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        closeGate(*live, *engine, kHighRate);
        takeEnds.push_back(live->loudFrames());
        // A pause long enough to end the take.
        std::this_thread::sleep_for(std::chrono::milliseconds(companion::kTakePauseMs + 300));
    }
    const uint64_t captured = takeEnds[1] + 2 * kTail;
    ASSERT_GT(takeEnds[0] + kTail, uint64_t{1} << 24) << "the first take ends where frames share "
                                                         "a write position";
    ASSERT_LT(captured, kRingFrames);
    const companion::EngineStatus status = engine->status();
    EXPECT_EQ(status.lostCaptureFrames, 0u);
    // A false lap was once taken for a clear the daemon missed: a new ring of the same frames.
    EXPECT_EQ(status.generation, generation);
#if !defined(__SANITIZE_THREAD__)  // there a slow block can stand for a pause and split a take
    EXPECT_EQ(status.takes.size(), 2u);
#endif
    // The last take's final frames (at most two here) may wait in the ring for the next head
    // move: the copy never takes them before it is sure they are written.
    EXPECT_LE(status.copiedFrames, captured);
    EXPECT_GE(status.copiedFrames + 2, captured);

    companion::ExportResult saved{};
    ASSERT_TRUE(engine->saveLast(60.0, {}, saved).ok);
    const std::vector<float> ring = readFrames(saved.path);
    ASSERT_EQ(ring.size() / 2, status.copiedFrames);
    for (uint64_t i = 0; i < ring.size() / 2; ++i) {
        const uint64_t loudBefore =
            i < takeEnds[0] + kTail ? std::min(i, takeEnds[0]) : std::min(i - kTail, takeEnds[1]);
        const bool quiet =
            (i >= takeEnds[0] && i < takeEnds[0] + kTail) || i >= takeEnds[1] + kTail;
        ASSERT_EQ(ring[2 * i], quiet ? 0.0f : LiveHost::loudLeft(loudBefore)) << "frame " << i;
    }
}
