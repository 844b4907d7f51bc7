// The module as a DAW sees it: entry, factory, descriptor, extensions, ports, lifecycle.
#include "test_host.h"

#include "companion/segments.h"

#include <gtest/gtest.h>

#include <clap/ext/params.h>
#include <clap/ext/state.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using testhost::Host;
using testhost::Instance;

namespace {

// One word of each line a command prints about the module: the last (nm) or the first (ldd).
std::string wordsOf(const std::string& command, bool lastWord) {
    FILE* pipe = popen((command + " " + TESSARIN_CLAP_PATH).c_str(), "r");
    EXPECT_NE(pipe, nullptr) << command;
    std::string words;
    char line[512];
    while (pipe != nullptr && fgets(line, sizeof(line), pipe) != nullptr) {
        const std::string text(line);
        const size_t from = lastWord ? text.rfind(' ') + 1 : text.find_first_not_of(" \t");
        const size_t to = lastWord ? text.find('\n', from) : text.find(' ', from);
        words += text.substr(from, to - from) + "\n";
    }
    if (pipe != nullptr)
        pclose(pipe);
    return words;
}

}  // namespace

TEST(Module, ExportsClapEntryAlone) {
    const std::string symbols = wordsOf("nm -D --defined-only", true);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_NE(symbols.find("clap_entry\n"), std::string::npos) << symbols;
#else
    EXPECT_EQ(symbols, "clap_entry\n");
#endif
}

TEST(Module, NeedsOnlyTheCLibraries) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds link their runtimes";
#endif
    const std::string needed = wordsOf("ldd", false);
    for (const char* library : {"libstdc++", "libgcc_s", "libsndfile", "libebur128"})
        EXPECT_EQ(needed.find(library), std::string::npos) << needed;
    EXPECT_NE(needed.find("libc.so"), std::string::npos) << needed;
}

TEST(Module, EntryAndFactory) {
    const testhost::Module& loaded = testhost::module();
    ASSERT_NE(loaded.entry, nullptr);
    EXPECT_EQ(loaded.entry->clap_version.major, 1u);
    EXPECT_EQ(loaded.entry->clap_version.minor, 2u);
    EXPECT_EQ(loaded.entry->clap_version.revision, 0u);
    EXPECT_EQ(loaded.entry->get_factory(nullptr), nullptr);
    EXPECT_EQ(loaded.entry->get_factory("clap.plugin-factory-x"), nullptr);
    EXPECT_EQ(loaded.entry->get_factory("clap.preset-discovery-factory/2"), nullptr);
    ASSERT_NE(loaded.factory, nullptr);
    EXPECT_EQ(loaded.factory->get_plugin_count(loaded.factory), 1u);
    EXPECT_EQ(loaded.factory->get_plugin_count(nullptr), 1u);
    EXPECT_EQ(loaded.factory->get_plugin_descriptor(loaded.factory, 1), nullptr);
}

TEST(Module, Descriptor) {
    const testhost::Module& loaded = testhost::module();
    const clap_plugin_descriptor* d = loaded.factory->get_plugin_descriptor(loaded.factory, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.minor, 2u);
    EXPECT_EQ(d->clap_version.revision, 0u);
    EXPECT_STREQ(d->id, "com.orvelle.tessarin");
    EXPECT_STREQ(d->name, "Orvelle Tessarin");
    EXPECT_STREQ(d->vendor, "Orvelle");
    ASSERT_NE(d->url, nullptr);
    ASSERT_NE(d->manual_url, nullptr);
    ASSERT_NE(d->support_url, nullptr);
    EXPECT_STREQ(d->url, "");
    EXPECT_STREQ(d->manual_url, "");
    EXPECT_STREQ(d->support_url, "");
    EXPECT_STREQ(d->version, "1.0.0");
    EXPECT_STREQ(d->description, "60-second audio capture buffer for sample export");
    ASSERT_NE(d->features, nullptr);
    EXPECT_STREQ(d->features[0], "audio-effect");
    EXPECT_STREQ(d->features[1], "utility");
    EXPECT_STREQ(d->features[2], "analyzer");
    EXPECT_EQ(d->features[3], nullptr);
}

TEST(Module, CreatePluginRefusesWhatItDoesNotMake) {
    const testhost::Module& loaded = testhost::module();
    Host host;
    EXPECT_EQ(loaded.factory->create_plugin(loaded.factory, nullptr, testhost::kPluginId), nullptr);
    EXPECT_EQ(loaded.factory->create_plugin(loaded.factory, &host.host, nullptr), nullptr);
    EXPECT_EQ(loaded.factory->create_plugin(loaded.factory, &host.host, "com.orvelle.tessari"),
              nullptr);
    EXPECT_EQ(loaded.factory->create_plugin(loaded.factory, &host.host, "com.orvelle.tessarin2"),
              nullptr);
}

TEST(Instance, RecordsAndExtensions) {
    companion::ControlSegment::unlinkName();
    Host host;
    Instance a(host);
    Instance b(host);
    ASSERT_NE(a.plugin(), nullptr);
    ASSERT_NE(b.plugin(), nullptr);
    EXPECT_NE(a.plugin(), b.plugin());
    EXPECT_NE(a.plugin()->plugin_data, b.plugin()->plugin_data);
    EXPECT_STREQ(a.plugin()->desc->id, "com.orvelle.tessarin");
    EXPECT_TRUE(a.init());
    EXPECT_TRUE(b.init());

    const clap_plugin* p = a.plugin();
    EXPECT_EQ(p->get_extension(p, CLAP_EXT_PARAMS), nullptr);
    EXPECT_EQ(p->get_extension(p, CLAP_EXT_STATE), nullptr);
    EXPECT_EQ(p->get_extension(p, "clap.gui"), nullptr);
    EXPECT_EQ(p->get_extension(p, "clap.latency"), nullptr);
    EXPECT_EQ(p->get_extension(p, "clap.note-ports"), nullptr);
    auto* ports =
        static_cast<const clap_plugin_audio_ports*>(p->get_extension(p, CLAP_EXT_AUDIO_PORTS));
    ASSERT_NE(ports, nullptr);
    EXPECT_NE(ports, b.plugin()->get_extension(b.plugin(), CLAP_EXT_AUDIO_PORTS));
    EXPECT_EQ(ports->count(p, true), 1u);
    EXPECT_EQ(ports->count(p, false), 1u);

    for (bool isInput : {true, false}) {
        clap_audio_port_info info;
        std::memset(&info, 0xAB, sizeof(info));
        EXPECT_FALSE(ports->get(p, 1, isInput, &info));
        EXPECT_EQ(info.id, 0xABABABABu) << "a refused index leaves info untouched";
        ASSERT_TRUE(ports->get(p, 0, isInput, &info));
        EXPECT_EQ(info.id, isInput ? 0u : 1u);
        EXPECT_STREQ(info.name, isInput ? "Input" : "Output");
        EXPECT_EQ(info.flags, CLAP_AUDIO_PORT_IS_MAIN);
        EXPECT_EQ(info.channel_count, 2u);
        EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
        EXPECT_EQ(info.in_place_pair, isInput ? 1u : 0u);
    }

    EXPECT_TRUE(p->start_processing(p));
    p->stop_processing(p);
    p->reset(p);
}

TEST(Instance, ActivationRefusesRatesThatSizeNoRing) {
    companion::ControlSegment::unlinkName();
    Host host;
    Instance instance(host);
    ASSERT_TRUE(instance.init());
    const clap_plugin* p = instance.plugin();
    EXPECT_FALSE(p->activate(p, 0.0, 1, 512));
    EXPECT_FALSE(p->activate(p, -48000.0, 1, 512));
    EXPECT_FALSE(p->activate(p, std::numeric_limits<double>::quiet_NaN(), 1, 512));
    EXPECT_FALSE(p->activate(p, std::numeric_limits<double>::infinity(), 1, 512));
    EXPECT_FALSE(p->activate(p, 1e300, 1, 512));
    EXPECT_FALSE(p->activate(p, 4.3e9, 1, 512));  // past the WAV header's 32-bit rate
    // Rings whose byte size the snapshot's u32 size field cannot announce, up to where their
    // allocation would fail outright.
    EXPECT_FALSE(p->activate(p, 8947849.0, 1, 512));
    EXPECT_FALSE(p->activate(p, 1e9, 1, 512));
    // A refused activation changed nothing: a later good one sizes the ring as the first.
    ASSERT_TRUE(instance.activate(1234.5678));
    std::vector<float> in(64, 0.5f), out(64, 0.0f);
    EXPECT_EQ(instance.process(in.data(), in.data(), out.data(), out.data(), 64),
              CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(out, std::vector<float>(64, 0.5f));
}

// In a child whose address space cannot hold a 2 MHz ring (960 MB): the failed allocation is
// a refused activation that changes nothing, and the host lives on.
int refusedAllocation() {
    companion::ControlSegment control;
    Host host;
    Instance instance(host);
    if (!control.create() || !instance.init())
        return 2;
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1)
        return 3;
    std::fclose(statm);
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    const rlimit addressSpace = {limit, limit};
    if (setrlimit(RLIMIT_AS, &addressSpace) != 0)
        return 4;
    if (instance.activate(2000000.0))
        return 5;
    if (control.load<uint8_t>(companion::off::active) != 0 ||
        control.load<double>(companion::off::sampleRate) != 0.0)
        return 6;
    if (!instance.activate(8000.0) ||
        control.load<uint32_t>(companion::off::snapshotBytes) != 8000u * 120u * sizeof(float))
        return 7;
    instance.destroy();
    control.remove();
    return 0;
}

TEST(Instance, FailedRingAllocationRefusesActivation) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators need more address space than the limit leaves";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(refusedAllocation());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's exit code names the failed check";
}

TEST(Instance, DestroyWithoutActivationLeavesPluginSegmentsAlone) {
    companion::ControlSegment::unlinkName();
    Host host;
    Instance first(host);
    ASSERT_TRUE(first.init());
    ASSERT_TRUE(first.activate(48000.0));
    {
        Instance neverActivated(host);
        ASSERT_TRUE(neverActivated.init());
    }
    companion::SpectrumReader reader;
    ASSERT_TRUE(reader.open()) << "the first instance's feed keeps its name";
    EXPECT_EQ(reader.capacity(), 65536u);
    companion::SnapshotReader snapshot;
    EXPECT_TRUE(snapshot.open(48000 * 120 * sizeof(float)));
}
