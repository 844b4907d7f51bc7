// A plug-in instance from the built module whose "audio thread" runs blocks on a thread of its
// own, faster than real time, the way a DAW's engine would while the companion watches from
// outside. The signal is chosen per frame; the thread can feed silence or stop processing.
#pragma once

#include "test_host.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace testhost {

class LiveHost {
public:
    enum class Mode { loud, silent, stopped };

    // A signal that never falls below the silence threshold (every frame is captured) and tells
    // its frames apart: a ramp from 0.25 in steps of kRampStep, exact in single precision, that
    // starts again every kRampFrames.
    static constexpr uint64_t kRampFrames = 1 << 18;
    static constexpr float kRampStep = 1.0f / (1 << 20);
    static float loudLeft(uint64_t frame) {
        return 0.25f + static_cast<float>(frame % kRampFrames) * kRampStep;
    }
    static float loudRight(uint64_t frame) { return -loudLeft(frame); }

    LiveHost(double sampleRate, uint32_t blockFrames = 480, int blockPeriodUs = 2000)
        : rate_(sampleRate), blockFrames_(blockFrames), periodUs_(blockPeriodUs) {
        instance_ = std::make_unique<Instance>(host_);
    }
    ~LiveHost() { stop(); }

    bool start() {
        if (!instance_->init() || !instance_->activate(rate_))
            return false;
        running_ = true;
        thread_ = std::thread([this] { run(); });
        return true;
    }
    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    void setMode(Mode mode) { mode_ = mode; }
    // Frames of loud signal processed so far (the loud signal's frame counter).
    uint64_t loudFrames() const { return loudFrames_; }
    Instance& instance() { return *instance_; }
    // Runs f with the audio thread parked between blocks.
    void paused(const std::function<void()>& f) {
        std::lock_guard lock(blockMutex_);
        f();
    }

private:
    void run() {
        std::vector<float> left(blockFrames_), right(blockFrames_);
        while (running_) {
            std::this_thread::sleep_for(std::chrono::microseconds(periodUs_));
            std::lock_guard lock(blockMutex_);
            const Mode mode = mode_;
            if (mode == Mode::stopped)
                continue;
            for (uint32_t i = 0; i < blockFrames_; ++i) {
                const uint64_t k = loudFrames_ + i;
                left[i] = mode == Mode::loud ? loudLeft(k) : 0.0f;
                right[i] = mode == Mode::loud ? loudRight(k) : 0.0f;
            }
            if (mode == Mode::loud)
                loudFrames_ += blockFrames_;
            instance_->processStereo(left, right);
        }
    }

    Host host_;
    double rate_;
    uint32_t blockFrames_;
    int periodUs_;
    std::unique_ptr<Instance> instance_;
    std::thread thread_;
    std::mutex blockMutex_;
    std::atomic<bool> running_{false};
    std::atomic<Mode> mode_{Mode::loud};
    std::atomic<uint64_t> loudFrames_{0};
};

}  // namespace testhost
