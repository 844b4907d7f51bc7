#include "test_host.h"

#include "stereo_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>

namespace testhost {

namespace {

Host* hostOf(const clap_host* host) {
    return static_cast<Host*>(host->host_data);
}

const void* hostGetExtension(const clap_host* host, const char* id) {
    Host* self = hostOf(host);
    return self->getExtension ? self->getExtension(id) : nullptr;
}
void hostRequestRestart(const clap_host* host) {
    ++hostOf(host)->requestRestartCount;
}
void hostRequestProcess(const clap_host* host) {
    ++hostOf(host)->requestProcessCount;
}
void hostRequestCallback(const clap_host* host) {
    ++hostOf(host)->requestCallbackCount;
}

Module loadModule() {
    Module loaded;
    loaded.handle = dlopen(TESSARIN_CLAP_PATH, RTLD_NOW | RTLD_LOCAL);
    if (loaded.handle == nullptr) {
        ADD_FAILURE() << "dlopen " << TESSARIN_CLAP_PATH << ": " << dlerror();
        return loaded;
    }
    loaded.entry = static_cast<const clap_plugin_entry*>(dlsym(loaded.handle, "clap_entry"));
    if (loaded.entry == nullptr || !loaded.entry->init(TESSARIN_CLAP_PATH)) {
        ADD_FAILURE() << "clap_entry missing or its init failed";
        return loaded;
    }
    loaded.factory =
        static_cast<const clap_plugin_factory*>(loaded.entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    return loaded;
}

}  // namespace

const Module& module() {
    static const Module loaded = loadModule();
    return loaded;
}

Host::Host() {
    host.clap_version = CLAP_VERSION;
    host.host_data = this;
    host.name = "tessarin test host";
    host.vendor = "Orvelle";
    host.url = "";
    host.version = "1.0";
    host.get_extension = hostGetExtension;
    host.request_restart = hostRequestRestart;
    host.request_process = hostRequestProcess;
    host.request_callback = hostRequestCallback;
}

clap_event_transport makeTransport(bool playing, double seconds, bool hasSecondsTimeline) {
    clap_event_transport transport{};
    transport.header.size = sizeof(transport);
    transport.header.type = CLAP_EVENT_TRANSPORT;
    transport.flags = 0;
    if (playing)
        transport.flags |= CLAP_TRANSPORT_IS_PLAYING;
    if (hasSecondsTimeline)
        transport.flags |= CLAP_TRANSPORT_HAS_SECONDS_TIMELINE;
    transport.song_pos_seconds = static_cast<clap_sectime>(seconds * CLAP_SECTIME_FACTOR);
    return transport;
}

Instance::Instance(Host& host) {
    const Module& loaded = module();
    if (loaded.factory != nullptr)
        plugin_ = loaded.factory->create_plugin(loaded.factory, &host.host, kPluginId);
    if (plugin_ == nullptr)
        ADD_FAILURE() << "the factory made no instance";
}

Instance::~Instance() {
    destroy();
}

bool Instance::init() {
    return plugin_->init(plugin_);
}

bool Instance::activate(double sampleRate, uint32_t minFrames, uint32_t maxFrames) {
    activated_ = plugin_->activate(plugin_, sampleRate, minFrames, maxFrames);
    return activated_;
}

void Instance::deactivate() {
    if (activated_)
        plugin_->deactivate(plugin_);
    activated_ = false;
}

void Instance::destroy() {
    if (plugin_ == nullptr)
        return;
    deactivate();
    plugin_->destroy(plugin_);
    plugin_ = nullptr;
}

void Instance::onMainThread() {
    plugin_->on_main_thread(plugin_);
}

clap_process_status Instance::process(const float* inL, const float* inR, float* outL, float* outR,
                                      uint32_t frames, const clap_event_transport* transport) {
    const clapblock::StereoBlock block(inL, inR, outL, outR, frames, transport);
    return processRaw(block.process);
}

clap_process_status Instance::processRaw(const clap_process& block) {
    return plugin_->process(plugin_, &block);
}

clap_process_status Instance::processStereo(const std::vector<float>& left,
                                            const std::vector<float>& right,
                                            const clap_event_transport* transport) {
    // An empty block still hands the plug-in real (if unused) channel pointers.
    static const float kNoSamples[1] = {};
    outL_.assign(left.size() + 1, 0.0f);
    outR_.assign(left.size() + 1, 0.0f);
    const float* l = left.empty() ? kNoSamples : left.data();
    const float* r = right.empty() ? kNoSamples : right.data();
    const clap_process_status status =
        process(l, r, outL_.data(), outR_.data(), static_cast<uint32_t>(left.size()), transport);
    outL_.pop_back();
    outR_.pop_back();
    return status;
}

}  // namespace testhost
