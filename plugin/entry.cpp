// The module's one exported symbol, clap_entry, and the factory that offers the one plug-in.
#include "plugin/tessarin_plugin.h"

#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <cstring>

namespace {

// [main-thread]
bool init(const char* /*pluginPath*/) noexcept {
    return true;
}
void deinit() noexcept {}

uint32_t getPluginCount(const clap_plugin_factory* /*factory*/) noexcept {
    return 1;
}

const clap_plugin_descriptor* getPluginDescriptor(const clap_plugin_factory* /*factory*/,
                                                  uint32_t index) noexcept {
    return index == 0 ? &s_descriptor : nullptr;
}

const clap_plugin* createPlugin(const clap_plugin_factory* /*factory*/, const clap_host* host,
                                const char* pluginId) noexcept {
    if (host == nullptr || pluginId == nullptr || std::strcmp(pluginId, kPluginId) != 0)
        return nullptr;
    return &TessarinPlugin::createInstance(host)->plugin;
}

const clap_plugin_factory s_factory = {getPluginCount, getPluginDescriptor, createPlugin};

const void* getFactory(const char* factoryId) noexcept {
    if (factoryId == nullptr || std::strcmp(factoryId, CLAP_PLUGIN_FACTORY_ID) != 0)
        return nullptr;
    return &s_factory;
}

}  // namespace

extern "C" __attribute__((visibility("default")))
const clap_plugin_entry clap_entry = {{1, 2, 0}, init, deinit, getFactory};
