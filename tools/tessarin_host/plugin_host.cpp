#include "tessarin_host/plugin_host.h"

#include "stereo_block.h"

#include <clap/ext/audio-ports.h>
#include <clap/plugin-factory.h>
#include <clap/version.h>

#include <dlfcn.h>

namespace tessarinhost {

// The host record's callbacks; host_data points at the PluginHost.
struct HostCallbacks {
    static PluginHost& self(const clap_host* host) {
        return *static_cast<PluginHost*>(host->host_data);
    }
    static const void* getExtension(const clap_host* host, const char* id) {
        PluginHost& h = self(host);
        return h.getExtension_ ? h.getExtension_(id) : nullptr;
    }
    static void requestRestart(const clap_host*) {}
    static void requestProcess(const clap_host*) {}
    // [any thread] Single-threaded host: the flag is read between blocks on the same thread.
    static void requestCallback(const clap_host* host) { self(host).callbackRequested_ = true; }
};

namespace {

// The plug-in must offer one stereo input port and one stereo output port.
bool hasStereoPorts(const clap_plugin* plugin) {
    const auto* ports = static_cast<const clap_plugin_audio_ports*>(
        plugin->get_extension(plugin, CLAP_EXT_AUDIO_PORTS));
    if (ports == nullptr || ports->count(plugin, true) < 1 || ports->count(plugin, false) < 1)
        return false;
    clap_audio_port_info in{}, out{};
    return ports->get(plugin, 0, true, &in) && ports->get(plugin, 0, false, &out) &&
           in.channel_count == 2 && out.channel_count == 2;
}

}  // namespace

PluginHost::PluginHost(std::function<const void*(const char*)> getExtension)
    : getExtension_(std::move(getExtension)) {
    host_.clap_version = CLAP_VERSION;
    host_.host_data = this;
    host_.name = "tessarin-host";
    host_.vendor = "Orvelle";
    host_.url = "";
    host_.version = "1.0";
    host_.get_extension = &HostCallbacks::getExtension;
    host_.request_restart = &HostCallbacks::requestRestart;
    host_.request_process = &HostCallbacks::requestProcess;
    host_.request_callback = &HostCallbacks::requestCallback;
}

PluginHost::~PluginHost() {
    unload();
}

bool PluginHost::load(const std::string& path, std::string& error) {
    const std::string prefix = "cannot load plug-in '" + path + "': ";
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
        const char* why = dlerror();
        error = prefix + (why != nullptr ? why : "dlopen failed");
        return false;
    }
    const auto* entry = static_cast<const clap_plugin_entry*>(dlsym(module_, "clap_entry"));
    if (entry == nullptr) {
        error = prefix + "no clap_entry symbol (not a CLAP module)";
        return false;
    }
    if (!clap_version_is_compatible(entry->clap_version)) {
        error = prefix + "incompatible CLAP version";
        return false;
    }
    if (!entry->init(path.c_str())) {
        error = prefix + "its entry's init failed";
        return false;
    }
    entry_ = entry;
    const auto* factory =
        static_cast<const clap_plugin_factory*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    if (factory == nullptr || factory->get_plugin_count(factory) < 1) {
        error = prefix + "its factory offers no plug-in";
        return false;
    }
    const clap_plugin_descriptor* descriptor = factory->get_plugin_descriptor(factory, 0);
    if (descriptor == nullptr || descriptor->id == nullptr) {
        error = prefix + "no plug-in descriptor";
        return false;
    }
    plugin_ = factory->create_plugin(factory, &host_, descriptor->id);
    if (plugin_ == nullptr) {
        error = prefix + "the factory made no instance";
        return false;
    }
    if (!plugin_->init(plugin_)) {
        plugin_->destroy(plugin_);
        plugin_ = nullptr;
        error = prefix + "the instance's init failed";
        return false;
    }
    if (!hasStereoPorts(plugin_)) {
        error = prefix + "it has no stereo input and output port";
        return false;
    }
    return true;
}

bool PluginHost::activate(double rateHz, uint32_t maxFrames, std::string& error) {
    activated_ = plugin_->activate(plugin_, rateHz, 1, maxFrames);
    if (!activated_) {
        error = "the plug-in refused to activate at " + std::to_string(rateHz) + " Hz";
        return false;
    }
    processing_ = plugin_->start_processing(plugin_);
    if (!processing_) {
        error = "the plug-in refused to start processing";
        return false;
    }
    return true;
}

clap_process_status PluginHost::process(const float* inL, const float* inR, float* outL,
                                        float* outR, uint32_t frames,
                                        const clap_event_transport* transport) {
    const clapblock::StereoBlock block(inL, inR, outL, outR, frames, transport);
    return plugin_->process(plugin_, &block.process);
}

void PluginHost::idle() {
    // Real (if unused) channel pointers, as a host hands over for any block.
    static float unused[4][1] = {};
    process(unused[0], unused[1], unused[2], unused[3], 0, nullptr);
    runMainThreadCallback();
}

void PluginHost::runMainThreadCallback() {
    if (!callbackRequested_)
        return;
    callbackRequested_ = false;
    plugin_->on_main_thread(plugin_);
}

const char* PluginHost::pluginName() const {
    return plugin_ != nullptr && plugin_->desc != nullptr ? plugin_->desc->name : "";
}

void PluginHost::unload() {
    if (plugin_ != nullptr) {
        if (processing_)
            plugin_->stop_processing(plugin_);
        if (activated_)
            plugin_->deactivate(plugin_);
        plugin_->destroy(plugin_);
    }
    plugin_ = nullptr;
    processing_ = activated_ = false;
    if (entry_ != nullptr)
        entry_->deinit();
    entry_ = nullptr;
    if (module_ != nullptr)
        dlclose(module_);
    module_ = nullptr;
}

}  // namespace tessarinhost
