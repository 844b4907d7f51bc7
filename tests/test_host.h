// A small CLAP host for the tests: loads the built tessarin.clap with dlopen, as a DAW does,
// and drives instances through their lifecycle and through blocks of any shape.
#pragma once

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/host.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testhost {

inline constexpr const char* kPluginId = "com.orvelle.tessarin";

// The module, loaded once per test process and initialised through clap_entry.
struct Module {
    void* handle = nullptr;
    const clap_plugin_entry* entry = nullptr;
    const clap_plugin_factory* factory = nullptr;
};
const Module& module();

// A host record with counters. getExtension answers the plug-in's get_extension calls.
struct Host {
    Host();
    clap_host host{};
    std::atomic<int> requestCallbackCount{0};
    std::atomic<int> requestRestartCount{0};
    std::atomic<int> requestProcessCount{0};
    std::function<const void*(const char*)> getExtension;  // null: no extensions
};

// One transport state at the start of a block.
clap_event_transport makeTransport(bool playing, double seconds, bool hasSecondsTimeline = true);

// An instance made through the factory, destroyed with the object.
class Instance {
public:
    explicit Instance(Host& host);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    const clap_plugin* plugin() const { return plugin_; }
    bool init();
    bool activate(double sampleRate, uint32_t minFrames = 1, uint32_t maxFrames = 16384);
    void deactivate();
    void destroy();
    void onMainThread();

    // One block through clapProcess. inR or outR may be null; inChannels and outChannels default
    // to the number of non-null channel pointers given (2 when the right pointer is non-null).
    clap_process_status process(const float* inL, const float* inR, float* outL, float* outR,
                                uint32_t frames, const clap_event_transport* transport = nullptr);
    // Fully general: the caller builds the clap_process.
    clap_process_status processRaw(const clap_process& process);

    // Convenience: interleaved stereo in, deinterleaved out buffers kept inside; returns status.
    clap_process_status processStereo(const std::vector<float>& left,
                                      const std::vector<float>& right,
                                      const clap_event_transport* transport = nullptr);
    const std::vector<float>& lastOutLeft() const { return outL_; }
    const std::vector<float>& lastOutRight() const { return outR_; }

private:
    const clap_plugin* plugin_ = nullptr;
    bool activated_ = false;
    std::vector<float> outL_, outR_;
};

}  // namespace testhost
