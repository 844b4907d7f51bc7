// Instance construction and the CLAP lifecycle: init, activation, deactivation, destruction,
// the audio-ports extension and the main-thread callback.
#include "plugin/tessarin_plugin.h"

#include <clap/ext/audio-ports.h>

#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace {

const char* s_features[] = {"audio-effect", "utility", "analyzer", nullptr};

constexpr uint32_t kPortChannels = 2;

TessarinPlugin* self(const clap_plugin* plugin) {
    return static_cast<TessarinPlugin*>(plugin->plugin_data);
}

// Up to here every count derived from the rate fits its integer type: the heartbeat interval
// and the exported file's 32-bit rate field.
constexpr double kMaxSampleRate = 4.0e9;  // Hz

// Rates every duration can be derived from: finite, positive, and with each count in range,
// the ring's byte size included (announced as a u32: rates up to 8,947,848 Hz).
bool usableSampleRate(double sampleRate) {
    return std::isfinite(sampleRate) && sampleRate > 0.0 && sampleRate <= kMaxSampleRate &&
           captureSizeForRate(sampleRate) * sizeof(float) <= kMaxRingBytes;
}

}  // namespace

const clap_plugin_descriptor s_descriptor = {
    {1, 2, 0},  kPluginId, "Orvelle Tessarin",
    "Orvelle",  "",        "",
    "",         "1.0.0",   "60-second audio capture buffer for sample export",
    s_features,
};

TessarinPlugin* TessarinPlugin::createInstance(const clap_host* host) noexcept {
    auto* instance = new (std::nothrow) TessarinPlugin;
    if (instance == nullptr)
        return nullptr;  // the factory answers "no instance"
    instance->host = host;
    instance->plugin = {&s_descriptor,       instance,           clapInit,
                        clapDestroy,         clapActivate,       clapDeactivate,
                        clapStartProcessing, clapStopProcessing, clapReset,
                        clapProcess,         clapGetExtension,   clapOnMainThread};
    instance->audioPorts = {clapAudioPortsCount, clapAudioPortsGet};
    return instance;
}

void TessarinPlugin::attachControl() {
    control = attachControlBlock(controlSegment);
    snapshotAnnounced = false;
}

void TessarinPlugin::refreshControl() {
    if (control != nullptr && !controlSegment.stillNamed(kControlSegmentName)) {
        // A companion that quit or restarted: the old block hears that the plug-in left it.
        storeRelease(control->active, 0);
        storeRelease(control->snapshotBytes, 0u);
        control = nullptr;
        controlSegment.close();
    }
    if (control == nullptr)
        attachControl();  // the companion may have started since
}

bool TessarinPlugin::clapInit(const clap_plugin* plugin) noexcept {
    self(plugin)->attachControl();
    return true;  // the plug-in works without the companion
}

bool TessarinPlugin::clapActivate(const clap_plugin* plugin, double sampleRate,
                                  uint32_t /*minFrames*/, uint32_t /*maxFrames*/) noexcept {
    TessarinPlugin* p = self(plugin);
    // A rate that is not finite and positive would leave the ring size undefined.
    if (!usableSampleRate(sampleRate))
        return false;
    // The first activation's ring comes before any other change: without its memory the
    // activation is refused and the instance stays as it was.
    std::vector<float> ring;
    if (!p->capture.captureAllocated && !allocateCaptureRing(ring, sampleRate))
        return false;
    p->refreshControl();
    if (ControlBlock* block = p->control) {
        recordActivationRate(p->capture, *block, sampleRate);
        p->sampleRate = sampleRate;
        storeRelease(block->sampleRate, sampleRate);
    } else {
        p->sampleRate = sampleRate;
    }
    checkSpectrumRate(p->spectrum, sampleRate);
    p->heartbeatInterval = static_cast<uint32_t>(p->sampleRate * kHeartbeatSeconds);
    prepareMeters(p->loudness, p->level, sampleRate);
    resetMeters(p->loudness, p->level);
    if (!p->capture.captureAllocated) {
        sizeCaptureRing(p->capture, std::move(ring), p->sampleRate);
        p->capture.capturedRate = sampleRate;
        p->capture.captureAllocated = true;
    }
    // A segment that could not be made (a full /dev/shm, a name another user holds) is tried
    // again at every activation; an empty ring (a rate below 1/120 Hz) has no snapshot to hold.
    if (p->snapshot.data == nullptr && p->capture.captureSize != 0)
        createSnapshotSegment(p->snapshot, p->capture.captureSize);
    if (p->spectrum.header == nullptr)
        createSpectrumFeed(p->spectrum, sampleRate);
    if (ControlBlock* block = p->control) {
        if (p->snapshot.data != nullptr && !p->snapshotAnnounced) {
            announceSnapshot(p->snapshot, *block);
            p->snapshotAnnounced = true;
        }
        storeRelease(block->active, 1);
    }
    return true;
}

void TessarinPlugin::clapDeactivate(const clap_plugin* plugin) noexcept {
    if (ControlBlock* block = self(plugin)->control)
        storeRelease(block->active, 0);
}

bool TessarinPlugin::clapStartProcessing(const clap_plugin* /*plugin*/) noexcept {
    return true;
}
void TessarinPlugin::clapStopProcessing(const clap_plugin* /*plugin*/) noexcept {}
void TessarinPlugin::clapReset(const clap_plugin* /*plugin*/) noexcept {
    // The ring and the meters stay: only the companion's requests clear them.
}

void TessarinPlugin::clapDestroy(const clap_plugin* plugin) noexcept {
    TessarinPlugin* p = self(plugin);
    if (p == nullptr)
        return;
    if (ControlBlock* block = p->control)
        storeRelease(block->snapshotBytes, 0u);  // the snapshot segment is going
    destroySpectrumFeed(p->spectrum);
    p->snapshot.data = nullptr;
    p->snapshot.segment.close();
    p->control = nullptr;
    p->controlSegment.close();
    p->capture.buffer = std::vector<float>();
    delete p;
}

clap_process_status TessarinPlugin::clapProcess(const clap_plugin* plugin,
                                                const clap_process* process) noexcept {
    return self(plugin)->process(process);
}

const void* TessarinPlugin::clapGetExtension(const clap_plugin* plugin, const char* id) noexcept {
    if (id != nullptr && std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0)
        return &self(plugin)->audioPorts;
    return nullptr;
}

uint32_t TessarinPlugin::clapAudioPortsCount(const clap_plugin* /*plugin*/,
                                             bool /*isInput*/) noexcept {
    return 1;
}

bool TessarinPlugin::clapAudioPortsGet(const clap_plugin* /*plugin*/, uint32_t index, bool isInput,
                                       clap_audio_port_info* info) noexcept {
    if (index != 0)
        return false;
    info->id = isInput ? 0 : 1;  // is_input XOR 1
    std::strncpy(info->name, isInput ? "Input" : "Output", CLAP_NAME_SIZE);
    info->name[CLAP_NAME_SIZE - 1] = '\0';
    info->flags = CLAP_AUDIO_PORT_IS_MAIN;
    info->channel_count = kPortChannels;
    info->port_type = CLAP_PORT_STEREO;
    info->in_place_pair = isInput ? 1 : 0;  // the other direction's id
    return true;
}

void TessarinPlugin::clapOnMainThread(const clap_plugin* plugin) noexcept {
    TessarinPlugin* p = self(plugin);
    // The host may call for reasons of its own: only a callback we asked for does anything.
    if (!p->callbackPending.load(std::memory_order_relaxed))
        return;
    p->callbackPending.store(false, std::memory_order_relaxed);
    ControlBlock* block = p->control;
    if (block == nullptr)
        return;
    serveInsertion(p->hostApi, p->host, *block, p->capture, p->sampleRate);
}
