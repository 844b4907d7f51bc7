// libFuzzer harness over the plug-in's CLAP entry points, aimed at the lifecycle and the shared
// memory: each input is one instance's life as a host and a companion could make it. The input
// decodes into activations at any rate (absurd ones included), deactivations, blocks of any shape
// with any samples and transport, a companion that rewrites any control-block field between
// blocks, replaces or removes its segment (short, foreign, or others may write it), and the
// main-thread callback. After every step the harness checks what must always hold:
//   - output equals input bit for bit while no preview can sound;
//   - every published fraction (writePosFraction, playheadFraction) lies in 0..1 or is -1;
//   - the audio thread makes no heap call;
// and the sanitizers report anything else (memory errors, undefined behaviour, leaks).
//
// As root the harness gives itself a private /dev/shm (its own mount namespace): the segment
// names are the global ones, but runs never meet other processes' segments.
#include "shm/control_block.h"

#include <clap/entry.h>
#include <clap/ext/audio-ports.h>
#include <clap/plugin-factory.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- Heap calls on the audio thread ---------------------------------------------------------

std::atomic<bool> g_audioThreadArmed{false};
std::atomic<uint64_t> g_audioThreadAllocations{0};

void onMalloc(const volatile void*, size_t) {
    if (g_audioThreadArmed.load(std::memory_order_relaxed))
        g_audioThreadAllocations.fetch_add(1, std::memory_order_relaxed);
}
void onFree(const volatile void*) {}

// ---- Failing a check ------------------------------------------------------------------------

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "tessarin_fuzz: %s\n", what);
    std::abort();  // libFuzzer saves the input as a crash
}
void check(bool holds, const char* what) {
    if (!holds)
        fail(what);
}

// A NaN with a payload of its own: what the harness leaves in a fraction the plug-in has not
// published since. Any other value there came from the plug-in.
const float kUnpublished = std::bit_cast<float>(uint32_t{0x7FC0DEAD});
bool unpublished(float value) {
    return std::bit_cast<uint32_t>(value) == 0x7FC0DEADu;
}

// ---- The host -------------------------------------------------------------------------------

std::string g_projectDir;  // where exports go; emptied after every input

struct HostRecord {
    void* reserved[3];
    void* (*getFunc)(const char* name);
};

void getProjectPath(void*, char* buffer, int bytes) {
    std::snprintf(buffer, static_cast<size_t>(bytes), "%s", g_projectDir.c_str());
}
int insertMedia(const char*, int) {
    return 1;
}
void setOnlyTrackSelected(void*) {}
void* getTrack(void*, int index) {
    static char tracks[4];
    return index >= 0 && index < 4 ? &tracks[index] : nullptr;
}
void* getSelectedTrack(void*, int) {
    return nullptr;
}
double getCursorPosition() {
    return 1.5;
}
void setEditCurPos(double, bool, bool) {}
void preventUiRefresh(int) {}
void undoBegin(void*) {}
void undoEnd(void*, const char*, int) {}
void updateArrange() {}

void* lookUpHostFunction(const char* name) {
    const struct {
        const char* name;
        void* fn;
    } table[] = {
        {"GetProjectPathEx", reinterpret_cast<void*>(&getProjectPath)},
        {"InsertMedia", reinterpret_cast<void*>(&insertMedia)},
        {"SetOnlyTrackSelected", reinterpret_cast<void*>(&setOnlyTrackSelected)},
        {"GetTrack", reinterpret_cast<void*>(&getTrack)},
        {"GetSelectedTrack", reinterpret_cast<void*>(&getSelectedTrack)},
        {"GetCursorPosition", reinterpret_cast<void*>(&getCursorPosition)},
        {"SetEditCurPos", reinterpret_cast<void*>(&setEditCurPos)},
        {"PreventUIRefresh", reinterpret_cast<void*>(&preventUiRefresh)},
        {"Undo_BeginBlock2", reinterpret_cast<void*>(&undoBegin)},
        {"Undo_EndBlock2", reinterpret_cast<void*>(&undoEnd)},
        {"UpdateArrange", reinterpret_cast<void*>(&updateArrange)},
    };
    for (const auto& entry : table)
        if (std::strcmp(entry.name, name) == 0)
            return entry.fn;
    return nullptr;
}

const HostRecord g_hostRecord = {{nullptr, nullptr, nullptr}, &lookUpHostFunction};

struct Host {
    clap_host host{};
    bool offersProjectApi = false;
    bool callbackRequested = false;
};

const void* hostGetExtension(const clap_host* host, const char* id) {
    const auto* self = static_cast<const Host*>(host->host_data);
    if (self->offersProjectApi && std::strcmp(id, "cockos.reaper_extension") == 0)
        return &g_hostRecord;
    return nullptr;
}
void hostRequestRestart(const clap_host*) {}
void hostRequestProcess(const clap_host*) {}
void hostRequestCallback(const clap_host* host) {
    static_cast<Host*>(host->host_data)->callbackRequested = true;
}

// ---- The companion --------------------------------------------------------------------------

// The companion's control segment as the harness holds it. The plug-in may still be attached
// to a segment the companion has let go; what the harness knows of it is kept in Companion.
struct ControlView {
    uint8_t* base = nullptr;
    size_t bytes = 0;

    ControlBlock* block() const {
        return bytes >= kControlBlockBytes ? reinterpret_cast<ControlBlock*>(base) : nullptr;
    }
    void unmap() {
        if (base != nullptr)
            munmap(base, bytes);
        base = nullptr;
        bytes = 0;
    }
};

enum class SegmentKind : uint8_t { good, wrongMagic, shortSize, othersMayWrite, count };

bool createControl(ControlView& view, SegmentKind kind) {
    view.unmap();
    shm_unlink(kControlSegmentName);
    const mode_t mode = kind == SegmentKind::othersMayWrite ? 0666 : 0600;
    const int fd = shm_open(kControlSegmentName, O_RDWR | O_CREAT | O_EXCL, mode);
    if (fd < 0)
        return false;
    const size_t bytes = kind == SegmentKind::shortSize ? 4096 : kControlBlockBytes;
    if (fchmod(fd, mode) != 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        shm_unlink(kControlSegmentName);
        return false;
    }
    void* addr = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (addr == MAP_FAILED) {
        shm_unlink(kControlSegmentName);
        return false;
    }
    view.base = static_cast<uint8_t*>(addr);
    view.bytes = bytes;
    std::memset(view.base, 0, bytes);
    if (ControlBlock* block = view.block()) {
        block->silenceThreshold = 2.5e-4f;
        block->lastOverviewColumn = -1;
        for (double* meter :
             {&block->momentaryLufs, &block->shortTermLufs, &block->shortTermMaxLufs,
              &block->integratedLufs, &block->momentaryMaxLufs, &block->rmsDb, &block->rmsMaxDb,
              &block->peakDb, &block->crestDb})
            *meter = kNoLevel;
    }
    const uint32_t magic = kind == SegmentKind::wrongMagic ? kControlMagic ^ 0x100u : kControlMagic;
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(view.base))
        .store(magic, std::memory_order_release);
    return true;
}

// ---- Decoding -------------------------------------------------------------------------------

double decodeRate(FuzzedDataProvider& in) {
    // Mostly small rates: an activation's cost grows with the ring (480 bytes per Hz, twice).
    static const double kRates[] = {
        100.0, 1234.5678, 9.0, 1.0, 0.5, 5e-324, 8000.0, 2000.0, 441.0, 48000.0,
        // refused: none of these can size a ring
        0.0, -48000.0, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), 1e9, 8947849.0, 4.3e9, 1e300};
    const uint8_t choice = in.ConsumeIntegral<uint8_t>();
    if (choice < 200)
        return kRates[choice % std::size(kRates)];
    return in.ConsumeFloatingPointInRange<double>(0.0, choice < 250 ? 4000.0 : 96000.0);
}

float specialSample(uint32_t pick) {
    static const float kSpecial[] = {0.0f,
                                     -0.0f,
                                     1.0f,
                                     -1.0f,
                                     1e-40f,   // subnormal
                                     -1e-45f,  // the smallest subnormal
                                     std::numeric_limits<float>::min(),
                                     1e10f,
                                     -1e20f,
                                     std::numeric_limits<float>::max(),
                                     std::numeric_limits<float>::lowest(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     -std::numeric_limits<float>::quiet_NaN(),
                                     2.5e-4f};
    return kSpecial[pick % std::size(kSpecial)];
}

// A small generator so a few input bytes can fill a long block.
struct Noise {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    }
};

void fillChannel(FuzzedDataProvider& in, std::vector<float>& channel) {
    Noise noise{in.ConsumeIntegral<uint64_t>()};
    const uint8_t kind = in.ConsumeIntegral<uint8_t>();
    const float constant = specialSample(in.ConsumeIntegral<uint8_t>());
    for (float& sample : channel) {
        switch (kind % 4) {
        case 0:
            sample = constant;
            break;
        case 1:  // noise of any level
            sample = constant * (static_cast<float>(noise.next()) / 2147483648.0f - 1.0f);
            break;
        case 2: {  // any bit pattern
            const uint32_t bits = noise.next() ^ (noise.next() << 16);
            std::memcpy(&sample, &bits, sizeof sample);
            break;
        }
        default:  // quiet noise with special values sprinkled in
            sample = (noise.next() % 64 == 0)
                         ? specialSample(noise.next())
                         : 1e-3f * (static_cast<float>(noise.next() % 2001) - 1000.0f) / 1000.0f;
            break;
        }
    }
}

// ---- One instance's life --------------------------------------------------------------------

const clap_plugin_factory* g_factory = nullptr;

struct Run {
    FuzzedDataProvider& in;
    Host host;
    const clap_plugin* plugin = nullptr;
    ControlView control;
    bool active = false;
    bool processing = false;
    // A preview may sound: a block ran while some control block the plug-in could be attached
    // to asked for one, and no block since has published "silent" (-1) into the current one.
    bool mayPreview = false;
    // A segment the companion let go still asked for a preview; the plug-in stays attached to it
    // until its next accepted activation.
    bool staleRequest = false;

    explicit Run(FuzzedDataProvider& input) : in(input) {}

    void letGoOfControl() {
        if (ControlBlock* block = control.block())
            if (loadAcquire(block->previewRequest) == 1)
                staleRequest = true;
        control.unmap();
    }

    void activate() {
        if (active)
            return;
        const double rate = decodeRate(in);
        const uint32_t maxFrames = in.ConsumeIntegral<uint32_t>();
        markFractions();
        active = plugin->activate(plugin, rate, 1, maxFrames);
        if (active)
            staleRequest = false;  // any held segment that is no longer named was let go
        if (active && !processing)
            processing = plugin->start_processing(plugin);
        checkFractions();
    }

    void deactivate() {
        if (!active)
            return;
        if (processing)
            plugin->stop_processing(plugin);
        processing = false;
        plugin->deactivate(plugin);
        active = false;
    }

    // Before an entry point runs: a value no publication can have, in both fractions.
    void markFractions() const {
        if (ControlBlock* block = control.block()) {
            storeRelease(block->writePosFraction, kUnpublished);
            storeRelease(block->playheadFraction, kUnpublished);
        }
    }

    // After it: whatever the plug-in published lies in range.
    void checkFractions() const {
        const ControlBlock* block = control.block();
        if (block == nullptr)
            return;
        const float write = loadAcquire(block->writePosFraction);
        const float playhead = loadAcquire(block->playheadFraction);
        check(unpublished(write) || (write >= 0.0f && write <= 1.0f),
              "writePosFraction outside 0..1");
        check(unpublished(playhead) || playhead == -1.0f || (playhead >= 0.0f && playhead <= 1.0f),
              "playheadFraction outside 0..1 and not -1");
    }

    // The companion writes one field, or anywhere in the reserved bytes or the overview.
    void companionWrites() {
        ControlBlock* block = control.block();
        if (block == nullptr)
            return;
        static const size_t kFields[] = {
            offsetof(ControlBlock, magic),
            offsetof(ControlBlock, writePosFraction),
            offsetof(ControlBlock, updateCounter),
            offsetof(ControlBlock, active),
            offsetof(ControlBlock, previewRequest),
            offsetof(ControlBlock, previewStart),
            offsetof(ControlBlock, captureHold),
            offsetof(ControlBlock, silenceThreshold),
            offsetof(ControlBlock, playheadFraction),
            offsetof(ControlBlock, insertRequest),
            offsetof(ControlBlock, selectionStart),
            offsetof(ControlBlock, selectionLength),
            offsetof(ControlBlock, targetTrack),
            offsetof(ControlBlock, snapshotRequest),
            offsetof(ControlBlock, snapshotReady),
            offsetof(ControlBlock, snapshotCount),
            offsetof(ControlBlock, snapshotBytes),
            offsetof(ControlBlock, sampleRate),
            offsetof(ControlBlock, heartbeatMs),
            offsetof(ControlBlock, rmsMaxDb),
            offsetof(ControlBlock, momentaryMaxLufs),
            offsetof(ControlBlock, shortTermMaxLufs),
            offsetof(ControlBlock, crestDb),
            offsetof(ControlBlock, resetMetersRequest),
            offsetof(ControlBlock, rateMismatch),
            offsetof(ControlBlock, capturedRate),
            offsetof(ControlBlock, clearRequest),
            offsetof(ControlBlock, lastOverviewColumn),
        };
        const uint8_t choice = in.ConsumeIntegral<uint8_t>();
        size_t offset = 0;
        if (choice < 224) {
            offset = kFields[choice % std::size(kFields)];
        } else {
            offset = in.ConsumeIntegralInRange<size_t>(0, kControlBlockBytes - 8) & ~size_t{3};
        }
        auto* base = reinterpret_cast<uint8_t*>(block);
        const uint8_t form = in.ConsumeIntegral<uint8_t>();
        if (form < 96) {  // a request or flag byte: mostly 0 or 1
            const uint8_t value = form < 80 ? (form & 1) : in.ConsumeIntegral<uint8_t>();
            std::atomic_ref<uint8_t>(base[offset]).store(value, std::memory_order_release);
        } else if (form < 176) {  // a fraction or level as f32
            float value = form < 144 ? in.ConsumeFloatingPointInRange<float>(-0.5f, 1.5f)
                                     : specialSample(in.ConsumeIntegral<uint8_t>());
            std::atomic_ref<float>(*reinterpret_cast<float*>(base + (offset & ~size_t{3})))
                .store(value, std::memory_order_release);
        } else if (form < 224) {  // four raw bytes
            const uint32_t value = in.ConsumeIntegral<uint32_t>();
            std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + (offset & ~size_t{3})))
                .store(value, std::memory_order_release);
        } else {  // eight raw bytes
            const uint64_t value = in.ConsumeIntegral<uint64_t>();
            std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base + (offset & ~size_t{7})))
                .store(value, std::memory_order_release);
        }
    }

    void companionRestarts() {
        letGoOfControl();
        const auto kind = static_cast<SegmentKind>(in.ConsumeIntegral<uint8_t>() %
                                                   static_cast<uint8_t>(SegmentKind::count));
        createControl(control, kind);
    }

    void companionQuits() {
        letGoOfControl();
        shm_unlink(kControlSegmentName);
    }

    void processBlock() {
        if (!active)
            return;  // hosts process only active instances
        const uint8_t shape = in.ConsumeIntegral<uint8_t>();
        const uint8_t sizeChoice = in.ConsumeIntegral<uint8_t>();
        uint32_t frames = sizeChoice < 16    ? sizeChoice
                          : sizeChoice < 240 ? in.ConsumeIntegralInRange<uint32_t>(0, 4096)
                                             : in.ConsumeIntegralInRange<uint32_t>(0, 70000);
        const uint32_t inChannels = shape % 4;         // 0..3
        const uint32_t outChannels = (shape / 4) % 4;  // 0..3
        const bool inPlace = (shape & 0x10) != 0;
        const bool nullRightIn = (shape & 0x20) != 0;
        const bool noInputs = (shape & 0xC0) == 0xC0;

        std::vector<std::vector<float>> inputs(3, std::vector<float>(frames));
        for (uint32_t c = 0; c < 2; ++c)
            fillChannel(in, inputs[c]);
        const std::vector<std::vector<float>> original = inputs;
        std::vector<std::vector<float>> outputs(3, std::vector<float>(frames, 12345.0f));
        float* inPointers[3] = {inputs[0].data(), nullRightIn ? nullptr : inputs[1].data(),
                                inputs[2].data()};
        float* outPointers[3] = {inPlace ? inputs[0].data() : outputs[0].data(),
                                 inPlace ? inputs[1].data() : outputs[1].data(), outputs[2].data()};
        clap_audio_buffer inBuffer{};
        inBuffer.data32 = inPointers;
        inBuffer.channel_count = inChannels;
        clap_audio_buffer outBuffer{};
        outBuffer.data32 = outPointers;
        outBuffer.channel_count = outChannels;

        clap_event_transport transport{};
        transport.header.size = sizeof transport;
        transport.header.type = CLAP_EVENT_TRANSPORT;
        const bool withTransport = in.ConsumeBool();
        if (withTransport) {
            transport.flags = in.ConsumeIntegral<uint32_t>();
            transport.song_pos_seconds = in.ConsumeIntegral<int64_t>();
        }
        static const clap_input_events noInputEvents{
            nullptr, [](const clap_input_events*) -> uint32_t { return 0; },
            [](const clap_input_events*, uint32_t) -> const clap_event_header_t* {
                return nullptr;
            }};
        static const clap_output_events dropOutputEvents{
            nullptr, [](const clap_output_events*, const clap_event_header_t*) { return true; }};
        clap_process process{};
        process.steady_time = -1;
        process.frames_count = frames;
        process.transport = withTransport ? &transport : nullptr;
        process.audio_inputs = noInputs ? nullptr : &inBuffer;
        process.audio_outputs = &outBuffer;
        process.audio_inputs_count = noInputs ? 0 : 1;
        process.audio_outputs_count = 1;
        process.in_events = &noInputEvents;
        process.out_events = &dropOutputEvents;

        // What can make the output differ from the input, as known before the block.
        ControlBlock* block = control.block();
        if (staleRequest || (block != nullptr && loadAcquire(block->previewRequest) == 1))
            mayPreview = true;
        const bool outputIsInput = !mayPreview;
        markFractions();

        g_audioThreadAllocations.store(0);
        g_audioThreadArmed.store(true);
        const clap_process_status status = plugin->process(plugin, &process);
        g_audioThreadArmed.store(false);
        check(g_audioThreadAllocations.load() == 0, "heap call on the audio thread");

        check((status == CLAP_PROCESS_ERROR) == noInputs,
              "only a block without input ports is an error");
        if (block != nullptr) {
            checkFractions();
            if (loadAcquire(block->playheadFraction) == -1.0f && !staleRequest &&
                loadAcquire(block->previewRequest) != 1)
                mayPreview = false;  // published by the plug-in this block: silent at its end
        }
        if (noInputs || status != CLAP_PROCESS_CONTINUE || !outputIsInput)
            return;
        // The output the plug-in owes while no preview sounds.
        const bool inputMissing = inChannels == 0;
        const bool monoInput = inChannels < 2 || nullRightIn;
        for (uint32_t c = 0; c < std::min<uint32_t>(outChannels, 2); ++c) {
            const float* got = outPointers[c];
            for (uint32_t i = 0; i < frames; ++i) {
                float want = original[c][i];
                if (inputMissing || (c == 1 && monoInput))
                    want = 0.0f;
                check(std::memcmp(&got[i], &want, sizeof want) == 0,
                      "output differs from the input while no preview sounds");
            }
        }
        if (outChannels == 3)
            for (uint32_t i = 0; i < frames; ++i)
                check(outputs[2][i] == 12345.0f, "a third output channel was written");
    }

    void mainThreadCallback() {
        if (host.callbackRequested || in.ConsumeBool()) {
            host.callbackRequested = false;
            plugin->on_main_thread(plugin);
        }
    }

    void live() {
        host.host.clap_version = CLAP_VERSION;
        host.host.host_data = &host;
        host.host.name = "tessarin fuzz host";
        host.host.vendor = "Orvelle";
        host.host.url = "";
        host.host.version = "1";
        host.host.get_extension = hostGetExtension;
        host.host.request_restart = hostRequestRestart;
        host.host.request_process = hostRequestProcess;
        host.host.request_callback = hostRequestCallback;
        host.offersProjectApi = in.ConsumeBool();

        if (in.ConsumeBool())
            createControl(control, SegmentKind::good);
        else
            shm_unlink(kControlSegmentName);
        plugin = g_factory->create_plugin(g_factory, &host.host, "com.orvelle.tessarin");
        check(plugin != nullptr, "the factory made no instance");
        check(plugin->init(plugin), "init failed");
        // What a host asks before it activates: the ports, through the extension.
        check(plugin->get_extension(plugin, "no.such.extension") == nullptr, "unknown extension");
        const auto* ports = static_cast<const clap_plugin_audio_ports*>(
            plugin->get_extension(plugin, CLAP_EXT_AUDIO_PORTS));
        check(ports != nullptr, "no audio-ports extension");
        for (bool isInput : {true, false}) {
            clap_audio_port_info info{};
            check(ports->count(plugin, isInput) == 1 && ports->get(plugin, 0, isInput, &info) &&
                      info.channel_count == 2 && !ports->get(plugin, 1, isInput, &info),
                  "one stereo port each way");
        }

        for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
            switch (in.ConsumeIntegral<uint8_t>() % 12) {
            case 0:
                activate();
                break;
            case 1:
                deactivate();
                break;
            case 2:
            case 3:
            case 4:
                processBlock();
                break;
            case 5:
            case 6:
                companionWrites();
                break;
            case 7:
                companionRestarts();
                break;
            case 8:
                companionQuits();
                break;
            case 9:
                mainThreadCallback();
                break;
            case 10:
                if (active)
                    plugin->reset(plugin);
                break;
            default:  // deactivate and come back at another rate
                deactivate();
                activate();
                break;
            }
        }
        deactivate();
        plugin->destroy(plugin);
        control.unmap();
        shm_unlink(kControlSegmentName);
        if (!g_projectDir.empty())
            for (const auto& entry : std::filesystem::directory_iterator(g_projectDir))
                std::filesystem::remove(entry.path());
    }
};

// As root: a private /dev/shm, so runs never meet other processes' segments.
bool privateSharedMemory() {
    return geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777,size=1g") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Exports go to memory too when the private tmpfs is there: a disk would set the pace.
    const bool privateShm = privateSharedMemory();
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
    // The audio-thread check is only as good as the hook: it must see an allocation.
    g_audioThreadArmed.store(true);
    void* volatile probe = std::malloc(16);  // volatile: the call cannot be left out
    std::free(probe);
    g_audioThreadArmed.store(false);
    check(g_audioThreadAllocations.exchange(0) == 1, "the allocation hook does not count");
    check(clap_entry.init("tessarin_fuzz"), "clap_entry.init failed");
    g_factory =
        static_cast<const clap_plugin_factory*>(clap_entry.get_factory(CLAP_PLUGIN_FACTORY_ID));
    check(g_factory != nullptr, "no plug-in factory");
    std::string pattern =
        ((privateShm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path()) /
         "tessarin_fuzz_XXXXXX")
            .string();
    if (mkdtemp(pattern.data()) != nullptr)
        g_projectDir = pattern;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Run run(in);
    run.live();
    return 0;
}
