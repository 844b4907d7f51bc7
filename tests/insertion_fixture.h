// A plug-in instance whose host offers the stand-in's extension record, with a fresh project
// directory for the exported files.
#pragma once

#include "host_api_standin/host_api_standin.h"
#include "plugin_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testhost {

class InsertionFixture : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessarin_insertion_XXXXXX").string();
        dir = mkdtemp(pattern.data());
        standin.config.projectPath = dir.string();
        host.getExtension = [this](const char* id) { return standin.extension(id); };
    }
    void TearDown() override {
        PluginFixture::TearDown();
        std::filesystem::remove_all(dir);
    }

    std::filesystem::path dir;        // the simulated project's directory
    hostapi::HostApiStandin standin;  // the host's project functions, logging every call
};

}  // namespace testhost
