// Segments carry one user's audio and requests: the plug-in makes its own for its user alone,
// never writes into a name another user holds, and attaches only to a control block that its
// user owns and nobody else may write.
#include "companion/feed_reader.h"
#include "plugin_fixture.h"
#include "private_shm.h"

#include <cmath>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace off = companion::off;
using privateshm::kCannotMount;
using testhost::Host;
using testhost::Instance;

namespace {

constexpr uid_t kOtherUid = 65534;  // a user the plug-in does not run as
constexpr uid_t kPluginUid = 65533;

struct stat statOfSegment(const char* name) {
    struct stat info {};
    const int fd = shm_open(name, O_RDONLY, 0);
    if (fd >= 0) {
        fstat(fd, &info);
        close(fd);
    }
    return info;
}

// Plants a zeroed segment of the given size under name, owned by uid, readable and writable by
// everyone: what another user's program might leave there.
bool plantForeignSegment(const char* name, size_t bytes, uid_t uid) {
    const int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0666);
    const bool made = fd >= 0 && fchmod(fd, 0666) == 0 && ftruncate(fd, off_t(bytes)) == 0 &&
                      fchown(fd, uid, uid) == 0;
    if (fd >= 0)
        close(fd);
    return made;
}

// True when every byte of the segment is still zero.
bool segmentUntouched(const char* name, size_t bytes) {
    const int fd = shm_open(name, O_RDONLY, 0);
    if (fd < 0)
        return false;
    void* addr = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (addr == MAP_FAILED)
        return false;
    const auto* data = static_cast<const unsigned char*>(addr);
    bool zero = true;
    for (size_t i = 0; i < bytes && zero; ++i)
        zero = data[i] == 0;
    munmap(addr, bytes);
    return zero;
}

// In a private /dev/shm: the feed's name held by root (the directory's owner) and the
// snapshot's by another user, both writable by all. The plug-in, running as an ordinary user,
// can remove neither; it must leave both alone, run on without them, and keep doing so.
int foreignNamesAreNeverWritten() {
    constexpr size_t kSnapshotBytes = 8000 * 120 * sizeof(float);
    if (!privateshm::mountPrivate("16m"))
        return kCannotMount;
    if (!plantForeignSegment(companion::kSpectrumName, companion::kSpectrumBytes, 0) ||
        !plantForeignSegment(companion::kSnapshotName, kSnapshotBytes, kOtherUid))
        return 2;
    if (testhost::module().factory == nullptr)  // loaded while the build is still readable
        return 3;
    if (setgroups(0, nullptr) != 0 || setgid(kPluginUid) != 0 || setuid(kPluginUid) != 0)
        return 4;
    companion::ControlSegment control;
    if (!control.create())
        return 5;
    Host host;
    Instance instance(host);
    std::vector<float> l(512, 0.5f), r(512, -0.5f);
    for (int activation = 0; activation < 2; ++activation) {
        if (!instance.init() || !instance.activate(8000.0))
            return 6;
        control.requestSnapshot(0.0f, 0.5f);
        if (instance.processStereo(l, r) != CLAP_PROCESS_CONTINUE || instance.lastOutLeft() != l)
            return 7;
        if (control.load<uint8_t>(off::active) != 1 ||
            control.load<uint32_t>(off::snapshotBytes) != 0 ||
            control.load<uint8_t>(off::snapshotReady) != 0)
            return 8;
        instance.deactivate();
    }
    if (!segmentUntouched(companion::kSpectrumName, companion::kSpectrumBytes) ||
        !segmentUntouched(companion::kSnapshotName, kSnapshotBytes))
        return 9;
    if (statOfSegment(companion::kSpectrumName).st_uid != 0 ||
        statOfSegment(companion::kSnapshotName).st_uid != kOtherUid)
        return 10;
    instance.destroy();
    control.remove();
    return 0;
}

// Makes a live spectrum feed under the plug-in's name as a hostile program would: the header
// complete, 4,800 frames of a full-scale 1 kHz sine at 48 kHz in both rings, owned by uid with
// the given mode.
bool plantLiveFeed(uid_t uid, mode_t mode) {
    namespace so = companion::spectrumOff;
    const int fd = shm_open(companion::kSpectrumName, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    const bool sized = ftruncate(fd, off_t(companion::kSpectrumBytes)) == 0;
    void* addr =
        sized ? mmap(nullptr, companion::kSpectrumBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
              : MAP_FAILED;
    const bool handedOver = fchmod(fd, mode) == 0 && fchown(fd, uid, uid) == 0;
    close(fd);
    if (addr == MAP_FAILED)
        return false;
    auto* base = static_cast<uint8_t*>(addr);
    auto put = [&](size_t offset, auto value) { std::memcpy(base + offset, &value, sizeof value); };
    auto* left = reinterpret_cast<float*>(base + so::leftRing);
    auto* right = reinterpret_cast<float*>(base + so::rightRing);
    for (int i = 0; i < 4800; ++i)
        left[i] = right[i] = float(std::sin(2.0 * M_PI * 1000.0 * i / 48000.0));
    put(so::magic, companion::kSpectrumMagic);
    put(so::version, uint32_t{1});
    put(so::capacity, companion::kSpectrumFrames);
    put(so::channels, uint32_t{2});
    put(so::sampleRate, 48000.0);
    put(so::totalFrames, uint64_t{4800});
    munmap(addr, companion::kSpectrumBytes);
    return handedOver;
}

bool changeFeed(uid_t uid, mode_t mode) {
    const int fd = shm_open(companion::kSpectrumName, O_RDWR, 0);
    const bool changed = fd >= 0 && fchown(fd, uid, uid) == 0 && fchmod(fd, mode) == 0;
    if (fd >= 0)
        close(fd);
    return changed;
}

struct FrameCounter : companion::FeedSink {
    uint64_t frames = 0;
    uint64_t restarts = 0;
    void feedRestarted(double) override { ++restarts; }
    void feedGap(uint64_t) override {}
    void feedFrames(const float*, const float*, size_t n, uint32_t) override { frames += n; }
};

// In a private /dev/shm, as root: a live feed under the plug-in's name that another user owns,
// or that the group or others may write, reads as no feed; the same segment made the user's
// own and private is read, so the reader does look at it.
int foreignFeedsAreNeverRead() {
    if (!privateshm::mountPrivate("4m"))
        return kCannotMount;
    if (!plantLiveFeed(kOtherUid, 0644))
        return 2;
    companion::FeedReader reader;
    FrameCounter sink;
    int64_t nowMs = 0;
    auto absent = [&] {
        for (int poll = 0; poll < 3; ++poll)
            if (companion::pollFeed(reader, sink, nowMs += 10) != companion::FeedState::absent)
                return false;
        return sink.frames == 0 && sink.restarts == 0;
    };
    if (!absent())
        return 3;  // another user's feed
    for (mode_t mode : {mode_t{0620}, mode_t{0602}, mode_t{0666}})
        if (!changeFeed(geteuid(), mode) || !absent())
            return 4;  // ours, but others may write it
    if (!changeFeed(geteuid(), 0600))
        return 5;
    if (companion::pollFeed(reader, sink, nowMs += 10) != companion::FeedState::live ||
        sink.frames != 4800)
        return 6;
    // Given away while mapped: the next look at the name lets it go.
    if (!changeFeed(kOtherUid, 0644))
        return 7;
    companion::pollFeed(reader, sink, nowMs += companion::kFeedNameCheckMs);
    if (reader.base != nullptr || sink.frames != 4800)
        return 8;
    return 0;
}

}  // namespace

TEST(SegmentOwnership, FeedsOfOtherUsersOrWritableByOthersAreNeverRead) {
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's segment needs root";
    privateshm::expectChildSucceeds(foreignFeedsAreNeverRead);
}

TEST(SegmentOwnership, PluginSegmentsAreTheUsersAloneWhateverTheUmask) {
    companion::ControlSegment::unlinkName();
    for (mode_t mask : {mode_t{0}, mode_t{0277}}) {
        const mode_t previous = umask(mask);
        Host host;
        Instance instance(host);
        ASSERT_TRUE(instance.init());
        ASSERT_TRUE(instance.activate(8000.0));
        umask(previous);
        for (const char* name : {companion::kSpectrumName, companion::kSnapshotName}) {
            const struct stat info = statOfSegment(name);
            EXPECT_EQ(info.st_mode & 07777, 0600u) << name << " under umask " << mask;
            EXPECT_EQ(info.st_uid, geteuid()) << name;
        }
    }
}

TEST(SegmentOwnership, NamesAnotherUserHoldsAreLeftAloneAndStayAbsent) {
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's segment needs root";
    privateshm::expectChildSucceeds(foreignNamesAreNeverWritten);
}

class ControlOwnership : public testhost::PluginFixture {
protected:
    // Changes the companion's segment as another program could; true when it took.
    bool changeSegment(mode_t mode, uid_t uid) {
        const int fd = shm_open(companion::kControlName, O_RDWR, 0);
        const bool changed = fd >= 0 && fchmod(fd, mode) == 0 && fchown(fd, uid, uid) == 0;
        if (fd >= 0)
            close(fd);
        return changed;
    }
    // A fresh instance activated once: true when it attached to the control block.
    bool attaches() {
        control.store<uint8_t>(off::active, 0);
        Host host;
        Instance probe(host);
        EXPECT_TRUE(probe.init());
        EXPECT_TRUE(probe.activate(8000.0));
        return control.load<uint8_t>(off::active) == 1;
    }
};

TEST_F(ControlOwnership, BlocksOthersMayWriteOrOwnAreTreatedAsAbsent) {
    const uid_t self = geteuid();
    ASSERT_TRUE(changeSegment(0600, self));
    EXPECT_TRUE(attaches());
    for (mode_t mode : {mode_t{0620}, mode_t{0602}, mode_t{0666}}) {
        ASSERT_TRUE(changeSegment(mode, self));
        EXPECT_FALSE(attaches()) << "mode " << std::oct << mode;
    }
    if (self == 0) {  // only root can give a segment away
        ASSERT_TRUE(changeSegment(0600, kOtherUid));
        EXPECT_FALSE(attaches()) << "owned by another user";
    }
    // Absent, not refused for good: once it is the user's own again, the next activation attaches.
    ASSERT_TRUE(changeSegment(0660, self));
    Host host;
    Instance instance(host);
    ASSERT_TRUE(instance.init());
    ASSERT_TRUE(instance.activate(8000.0));
    EXPECT_EQ(control.load<uint8_t>(off::active), 0);
    instance.deactivate();
    ASSERT_TRUE(changeSegment(0600, self));
    ASSERT_TRUE(instance.activate(8000.0));
    EXPECT_EQ(control.load<uint8_t>(off::active), 1);
}
