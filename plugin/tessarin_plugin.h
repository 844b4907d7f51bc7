// The plug-in instance: one per instance the host creates. It embeds the CLAP records the host
// holds and composes the subsystems; each entry point finds the instance through plugin_data.
#pragma once

#include "capture/capture.h"
#include "export/host_insertion.h"
#include "meter/meter.h"
#include "shm/control_block.h"
#include "shm/shared_memory.h"
#include "shm/spectrum_feed.h"

#include <clap/ext/audio-ports.h>
#include <clap/host.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <atomic>
#include <cstdint>

inline constexpr const char* kPluginId = "com.orvelle.tessarin";
inline constexpr double kHeartbeatSeconds = 0.1;
inline constexpr uint32_t kDefaultHeartbeatFrames = 4800;  // 0.1 s at the default 48 kHz

extern const clap_plugin_descriptor s_descriptor;

struct TessarinPlugin {
    const clap_host* host = nullptr;  // request_callback, get_extension
    clap_plugin plugin{};             // what the host holds; plugin_data points back here
    clap_plugin_audio_ports audioPorts{};
    double sampleRate = 48000.0;  // Hz, set by every activation
    Preview preview;              // preview playback state
    CaptureRing capture;          // the ring, its write position and silence gate
    LoudnessMeter loudness;
    LevelMeter level;
    std::atomic<bool> callbackPending{false};  // a main-thread callback was asked for, not started
    uint32_t heartbeatFrames = 0;              // frames since the last heartbeat
    uint32_t heartbeatInterval = kDefaultHeartbeatFrames;  // frames between heartbeats
    uint32_t updateCounter = 0;                            // status publications, wrapping
    SharedMemory controlSegment;                           // the companion's segment
    ControlBlock* control = nullptr;                       // only when attached and valid
    bool snapshotAnnounced = false;  // the attached block has been told the snapshot's size
    ExportSnapshot snapshot;         // "ORV_Tessarin_ExportSnapshot"
    SpectrumFeed spectrum;           // "ORV_Tessarin_SpectrumFeed"
    HostApi hostApi;                 // the host's extension functions, looked up once

    // Entry points are noexcept: nothing may cross the CLAP boundary as an exception, and a
    // failed allocation ends the process.
    // [main-thread] Builds an instance for host; the caller hands &plugin to the host.
    static TessarinPlugin* createInstance(const clap_host* host) noexcept;

    static bool clapInit(const clap_plugin* plugin) noexcept;     // [main-thread]
    static void clapDestroy(const clap_plugin* plugin) noexcept;  // [main-thread]
    static bool clapActivate(const clap_plugin* plugin, double sampleRate, uint32_t minFrames,
                             uint32_t maxFrames) noexcept;                // [main-thread]
    static void clapDeactivate(const clap_plugin* plugin) noexcept;       // [main-thread]
    static bool clapStartProcessing(const clap_plugin* plugin) noexcept;  // [audio-thread]
    static void clapStopProcessing(const clap_plugin* plugin) noexcept;   // [audio-thread]
    static void clapReset(const clap_plugin* plugin) noexcept;            // [audio-thread]
    static clap_process_status clapProcess(const clap_plugin* plugin,
                                           const clap_process* process) noexcept;  // [audio-thread]
    static const void* clapGetExtension(const clap_plugin* plugin,
                                        const char* id) noexcept;      // [main-thread]
    static void clapOnMainThread(const clap_plugin* plugin) noexcept;  // [main-thread]
    static uint32_t clapAudioPortsCount(const clap_plugin* plugin,
                                        bool isInput) noexcept;  // [main-thread]
    static bool clapAudioPortsGet(const clap_plugin* plugin, uint32_t index, bool isInput,
                                  clap_audio_port_info* info) noexcept;  // [main-thread]

    // [audio-thread] One block, start to end (the block driver).
    clap_process_status process(const clap_process* process);

private:
    void attachControl();  // [main-thread, inactive]
    // [main-thread, inactive] At activation: lets go of a control block whose name was removed
    // or now names another segment, and attaches to whatever the name holds now.
    void refreshControl();
    // [audio-thread] S3 to S8 for every frame; returns the advanced working write position.
    uint64_t runFrames(const float* inL, const float* inR, float* outL, float* outR,
                       uint32_t frames, uint64_t writePos, const struct BlockSettings& settings);
    void serveClearRequest(ControlBlock& block);                // [audio-thread]
    void stampHeartbeat(ControlBlock& block, uint32_t frames);  // [audio-thread]
};
