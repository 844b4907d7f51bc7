// The CLAP host side of tessarin-host: loads a .clap module with dlopen as a DAW does, makes one
// instance of its first plug-in, and runs it. Everything runs on one thread, which plays both the
// host's main thread and its audio thread; main-thread callbacks the plug-in asks for are run
// between blocks, by idle().
#pragma once

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/host.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tessarinhost {

class PluginHost {
public:
    // getExtension answers the plug-in's get_extension calls (null: no extension offered).
    explicit PluginHost(std::function<const void*(const char*)> getExtension);
    ~PluginHost();  // stops, deactivates and destroys the instance, then unloads the module
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // [main-thread] dlopen, clap_entry, factory, the first plug-in, its init and its stereo ports.
    // On failure returns false with one line in error.
    bool load(const std::string& path, std::string& error);
    // [main-thread] Activates at rateHz for blocks of at most maxFrames and starts processing.
    bool activate(double rateHz, uint32_t maxFrames, std::string& error);

    // [audio-thread] One block. inR null: a mono input (one channel). transport may be null.
    clap_process_status process(const float* inL, const float* inR, float* outL, float* outR,
                                uint32_t frames, const clap_event_transport* transport);
    // [main-thread] A block of 0 frames (the plug-in serves the companion's requests at every
    // block's end), then the main-thread callback if the plug-in asked for one.
    void idle();
    // [main-thread] Runs on_main_thread if the plug-in asked for it since the last call.
    void runMainThreadCallback();

    const char* pluginName() const;

private:
    void unload();  // [main-thread]

    clap_host host_{};
    std::function<const void*(const char*)> getExtension_;
    bool callbackRequested_ = false;  // request_callback came in; the host is single-threaded
    void* module_ = nullptr;
    const clap_plugin_entry* entry_ = nullptr;
    const clap_plugin* plugin_ = nullptr;
    bool activated_ = false;
    bool processing_ = false;

    friend struct HostCallbacks;
};

}  // namespace tessarinhost
