#include "companion/segments.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace companion {

namespace {

// trusted: only a segment of this user's own that nobody else may write is mapped.
uint8_t* mapByName(const char* name, size_t size, bool writable, bool trusted) {
    const int fd = shm_open(name, writable ? O_RDWR : O_RDONLY, 0666);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (fstat(fd, &info) != 0 || static_cast<size_t>(info.st_size) < size ||
        (trusted && !privateToUs(info))) {
        ::close(fd);
        return nullptr;
    }
    void* addr =
        mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    return addr == MAP_FAILED ? nullptr : static_cast<uint8_t*>(addr);
}

template <class T> T acquireAt(const uint8_t* base, size_t offset) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(const_cast<uint8_t*>(base) + offset))
        .load(std::memory_order_acquire);
}

// A level as read: kNoValue unless finite and within what any float input can produce.
double boundedLevel(double db) {
    return std::isfinite(db) && std::fabs(db) <= kMaxLevelMagnitudeDb ? db : kNoValue;
}

// The request bytes the companion raises and the plug-in lowers (previewRequest is a level the
// companion holds, also lowered at a restart: nobody is left to stop the preview).
constexpr size_t kRequestBytes[] = {off::previewRequest, off::insertRequest, off::snapshotRequest,
                                    off::resetMetersRequest, off::clearRequest};

}  // namespace

bool pluginRate(double rateHz) {
    // The plug-in's ring: trunc(rate * 120) floats, made even, announced as a u32 byte count.
    return std::isfinite(rateHz) && rateHz >= kMinPluginRateHz &&
           (static_cast<uint64_t>(rateHz * kPluginRingFloatsPerHz) & ~uint64_t{1}) *
                   sizeof(float) <=
               kPluginMaxRingBytes;
}

bool privateToUs(const struct stat& info) {
    return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

ControlSegment::~ControlSegment() {
    close();
}

bool ControlSegment::create(size_t sizeBytes, uint32_t magic) {
    close();
    shm_unlink(kControlName);
    const int fd = shm_open(kControlName, O_RDWR | O_CREAT, 0600);
    if (fd < 0)
        return false;
    // The plug-in attaches only to its own user's segment that nobody else may write.
    if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0) {
        ::close(fd);
        return false;
    }
    void* addr = mmap(nullptr, sizeBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (addr == MAP_FAILED)
        return false;
    base_ = static_cast<uint8_t*>(addr);
    size_ = sizeBytes;
    if (sizeBytes >= off::silenceThreshold + sizeof(float)) {
        storePlain<float>(off::silenceThreshold, 2.5e-4f);
        storePlain<int32_t>(off::lastOverviewColumn, -1);
    }
    if (sizeBytes >= sizeof(uint32_t))
        store<uint32_t>(off::magic, magic);
    return true;
}

bool ControlSegment::open() {
    close();
    base_ = mapByName(kControlName, kControlBytes, true, false);
    size_ = base_ ? kControlBytes : 0;
    return base_ != nullptr;
}

void ControlSegment::initialiseFields() {
    // The magic goes last, with release ordering: a plug-in that sees it sees the rest.
    store<uint32_t>(off::magic, 0);
    std::memset(base_, 0, size_);
    storePlain<float>(off::silenceThreshold, 2.5e-4f);
    storePlain<int32_t>(off::lastOverviewColumn, -1);
    clearMeterFields();
    store<uint32_t>(off::magic, kControlMagic);
}

bool ControlSegment::attachOrCreate(Attach& how, std::string& error) {
    close();
    const std::string path = std::string("/dev/shm/") + kControlName;
    int fd = -1;
    bool fresh = false;
    // Two tries: another companion may create the name between our open and our create.
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = shm_open(kControlName, O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0 || errno != ENOENT)
            break;
        fd = shm_open(kControlName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        fresh = fd >= 0;
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        error = path + ": cannot open or create it: " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error = path + ": cannot inspect it: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (info.st_uid != geteuid()) {
        error = path + " belongs to another user (uid " + std::to_string(info.st_uid) +
                "): not touching it";
        ::close(fd);
        return false;
    }
    if (fresh) {
        // The umask may have narrowed the mode further; it must never widen it.
        // posix_fallocate returns its error rather than setting errno.
        int failure = 0;
        if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(kControlBytes)) != 0)
            failure = errno;
        else
            failure = posix_fallocate(fd, 0, static_cast<off_t>(kControlBytes));
        if (failure != 0) {
            error = path + ": cannot size it: " + std::strerror(failure);
            ::close(fd);
            shm_unlink(kControlName);
            return false;
        }
    } else {
        if (static_cast<uint64_t>(info.st_size) != kControlBytes) {
            error = path + " has " + std::to_string(info.st_size) + " bytes, not " +
                    std::to_string(kControlBytes) +
                    ": it is not this version's control block; remove it when no DAW runs";
            ::close(fd);
            return false;
        }
        // A segment others may write would be refused by the plug-in: it is ours, so narrow it.
        if ((info.st_mode & 0077) != 0 && fchmod(fd, 0600) != 0) {
            error = path + ": cannot make it private: " + std::strerror(errno);
            ::close(fd);
            return false;
        }
    }
    void* addr = mmap(nullptr, kControlBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (addr == MAP_FAILED) {
        error = path + ": cannot map it: " + std::strerror(errno);
        return false;
    }
    base_ = static_cast<uint8_t*>(addr);
    size_ = kControlBytes;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    if (fresh) {
        initialiseFields();
        how = Attach::created;
    } else if (load<uint32_t>(off::magic) != kControlMagic) {
        initialiseFields();
        how = Attach::initialised;
    } else {
        // Every request up now was raised by a companion that is gone: nobody waits for it.
        for (const size_t request : kRequestBytes)
            store<uint8_t>(request, 0);
        how = Attach::reused;
    }
    return true;
}

void ControlSegment::close() {
    if (base_ != nullptr)
        munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
    device_ = 0;
    inode_ = 0;
}

void ControlSegment::remove() {
    close();
    unlinkName();
}

void ControlSegment::unlinkName() {
    shm_unlink(kControlName);
}

MeterReadings ControlSegment::meters() const {
    // Acquire loads: the daemon's own threads also write the holds (a meter reset).
    auto level = [this](size_t offset) { return boundedLevel(load<double>(offset)); };
    return {level(off::momentaryLufs),  level(off::shortTermLufs),    level(off::shortTermMaxLufs),
            level(off::integratedLufs), level(off::momentaryMaxLufs), level(off::rmsDb),
            level(off::rmsMaxDb),       level(off::peakDb),           level(off::crestDb)};
}

float ControlSegment::overview(size_t arrayOffset, uint32_t column) const {
    return loadPlain<float>(arrayOffset + column * sizeof(float));
}

void ControlSegment::requestSnapshot(float start, float length) {
    store<float>(off::selectionStart, start);
    store<float>(off::selectionLength, length);
    store<uint8_t>(off::snapshotReady, 0);
    store<uint8_t>(off::snapshotRequest, 1);
}

void ControlSegment::requestInsert(float start, float length, int32_t targetTrack) {
    store<float>(off::selectionStart, start);
    store<float>(off::selectionLength, length);
    store<int32_t>(off::targetTrack, targetTrack);
    store<uint8_t>(off::insertRequest, 1);
}

void ControlSegment::setPreview(bool on, float start) {
    store<float>(off::previewStart, start);
    store<uint8_t>(off::previewRequest, on ? 1 : 0);
}

SpectrumReader::~SpectrumReader() {
    close();
}

bool SpectrumReader::open() {
    close();
    base_ = mapByName(kSpectrumName, kSpectrumBytes, false, true);
    return base_ != nullptr;
}

void SpectrumReader::close() {
    if (base_ != nullptr)
        munmap(const_cast<uint8_t*>(base_), kSpectrumBytes);
    base_ = nullptr;
}

uint32_t SpectrumReader::magic() const {
    return acquireAt<uint32_t>(base_, spectrumOff::magic);
}
uint32_t SpectrumReader::version() const {
    return acquireAt<uint32_t>(base_, spectrumOff::version);
}
uint32_t SpectrumReader::capacity() const {
    return acquireAt<uint32_t>(base_, spectrumOff::capacity);
}
uint32_t SpectrumReader::channels() const {
    return acquireAt<uint32_t>(base_, spectrumOff::channels);
}
double SpectrumReader::sampleRate() const {
    return acquireAt<double>(base_, spectrumOff::sampleRate);
}
uint64_t SpectrumReader::totalFrames() const {
    return acquireAt<uint64_t>(base_, spectrumOff::totalFrames);
}
const float* SpectrumReader::leftRing() const {
    return reinterpret_cast<const float*>(base_ + spectrumOff::leftRing);
}
const float* SpectrumReader::rightRing() const {
    return reinterpret_cast<const float*>(base_ + spectrumOff::rightRing);
}

uint64_t SpectrumReader::readLatest(std::vector<float>& left, std::vector<float>& right) const {
    const uint64_t total = totalFrames();
    const uint64_t count = total < kSpectrumFrames ? total : kSpectrumFrames;
    left.resize(count);
    right.resize(count);
    for (uint64_t k = total - count, i = 0; k < total; ++k, ++i) {
        const uint64_t index = k % kSpectrumFrames;
        left[i] = std::atomic_ref<const float>(leftRing()[index]).load(std::memory_order_relaxed);
        right[i] = std::atomic_ref<const float>(rightRing()[index]).load(std::memory_order_relaxed);
    }
    return total;
}

SnapshotReader::~SnapshotReader() {
    close();
}

bool SnapshotReader::open(size_t sizeBytes) {
    close();
    base_ = mapByName(kSnapshotName, sizeBytes, false, true);
    size_ = base_ ? sizeBytes : 0;
    return base_ != nullptr;
}

void SnapshotReader::close() {
    if (base_ != nullptr)
        munmap(const_cast<uint8_t*>(base_), size_);
    base_ = nullptr;
    size_ = 0;
}

bool waitForByte(const ControlSegment& control, size_t offset, uint8_t want, int timeoutMs) {
    return waitForByte(control, offset, want, timeoutMs, Pump{});
}

bool waitForByte(const ControlSegment& control, size_t offset, uint8_t want, int timeoutMs,
                 const Pump& pump) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (control.load<uint8_t>(offset) != want) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (pump)
            pump();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

const char* describe(Answer answer) {
    switch (answer) {
    case Answer::done:
        return "answered";
    case Answer::timedOut:
        return "no answer from the plug-in (is it loaded and processing?)";
    case Answer::noSegment:
        return "the snapshot segment is missing or smaller than announced";
    }
    return "unknown answer";
}

void ControlSegment::clearMeterFields() {
    for (const size_t offset :
         {off::momentaryLufs, off::shortTermLufs, off::shortTermMaxLufs, off::integratedLufs,
          off::momentaryMaxLufs, off::rmsDb, off::rmsMaxDb, off::peakDb, off::crestDb})
        storePlain<double>(offset, kNoValue);
}

ControlStatus ControlSegment::status() const {
    ControlStatus s{};
    s.active = load<uint8_t>(off::active) == 1;
    const float writePos = load<float>(off::writePosFraction);
    s.writePosFraction = std::isfinite(writePos) ? std::clamp(writePos, 0.0f, 1.0f) : 0.0f;
    s.updateCounter = load<uint32_t>(off::updateCounter);
    const float playhead = load<float>(off::playheadFraction);
    s.playheadFraction = playhead >= 0.0f && playhead <= 1.0f ? playhead : -1.0f;  // NaN: -1
    // The ring holds an even number of floats.
    const uint32_t bytes = load<uint32_t>(off::snapshotBytes);
    s.snapshotBytes = bytes % (2 * sizeof(float)) == 0 ? bytes : 0;
    const double rate = load<double>(off::sampleRate);
    s.sampleRateHz = pluginRate(rate) ? rate : 0.0;
    s.heartbeatMs = load<int64_t>(off::heartbeatMs);
    s.rateMismatch = (load<uint8_t>(off::rateMismatch) & 1) != 0;
    const double capturedRate = loadPlain<double>(off::capturedRate);
    s.capturedRateHz = pluginRate(capturedRate) ? capturedRate : 0.0;
    const int32_t column = load<int32_t>(off::lastOverviewColumn);
    s.lastOverviewColumn =
        column >= 0 && column < static_cast<int32_t>(kOverviewColumns) ? column : -1;
    return s;
}

Answer ControlSegment::snapshotAndWait(float start, float length, int timeoutMs, const Pump& pump) {
    requestSnapshot(start, length);
    return waitForByte(*this, off::snapshotReady, 1, timeoutMs, pump) ? Answer::done
                                                                      : Answer::timedOut;
}

Answer ControlSegment::clearAndWait(int timeoutMs, const Pump& pump) {
    requestClear();
    return waitForByte(*this, off::clearRequest, 0, timeoutMs, pump) ? Answer::done
                                                                     : Answer::timedOut;
}

Answer ControlSegment::meterResetAndWait(int timeoutMs, const Pump& pump) {
    requestMeterReset();
    return waitForByte(*this, off::resetMetersRequest, 0, timeoutMs, pump) ? Answer::done
                                                                           : Answer::timedOut;
}

Answer ControlSegment::insertAndWait(float start, float length, int32_t targetTrack, int timeoutMs,
                                     const Pump& pump) {
    requestInsert(start, length, targetTrack);
    return waitForByte(*this, off::insertRequest, 0, timeoutMs, pump) ? Answer::done
                                                                      : Answer::timedOut;
}

Answer ControlSegment::fetchSnapshot(float start, float length, std::vector<float>& frames,
                                     int timeoutMs, const Pump& pump) {
    frames.clear();
    const Answer answer = snapshotAndWait(start, length, timeoutMs, pump);
    if (answer != Answer::done)
        return answer;
    // snapshotCount is a plain store made before the release store of snapshotReady, which the
    // wait read with acquire ordering.
    const uint32_t count = loadPlain<uint32_t>(off::snapshotCount);
    if (count == 0)
        return Answer::done;
    const uint32_t bytes = load<uint32_t>(off::snapshotBytes);
    SnapshotReader reader;
    if (static_cast<uint64_t>(count) * sizeof(float) > bytes || !reader.open(bytes))
        return Answer::noSegment;
    frames.assign(reader.data(), reader.data() + count);
    return Answer::done;
}

}  // namespace companion
