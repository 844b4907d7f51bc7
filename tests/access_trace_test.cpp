// Which control-block fields the audio thread touches in one block, and in what order, traced at
// the instruction level: the plug-in's own mapping of the segment's first page is made
// inaccessible, every access faults once, is recorded, and is single-stepped with the page open.
// This checks that each companion setting is read once per block whatever the block's length,
// before any status is published, and that the companion's fields are never written.
#include "plugin_fixture.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace off = companion::off;
using testhost::PluginFixture;

namespace {

struct Access {
    uint32_t offset;
    bool write;
};

constexpr size_t kMaxAccesses = 1 << 16;
constexpr uint64_t kTrapFlag = 0x100;      // x86 EFLAGS.TF: trap after one instruction
constexpr uint64_t kPageFaultWrite = 0x2;  // page-fault error code: the access was a write
uint8_t* g_page = nullptr;
Access g_accesses[kMaxAccesses];
size_t g_count = 0;

void onFault(int, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    auto* address = static_cast<uint8_t*>(info->si_addr);
    if (g_page == nullptr || address < g_page || address >= g_page + 4096) {
        signal(SIGSEGV, SIG_DFL);  // a real crash: let it happen
        return;
    }
    if (g_count < kMaxAccesses)
        g_accesses[g_count++] = {static_cast<uint32_t>(address - g_page),
                                 (uc->uc_mcontext.gregs[REG_ERR] & kPageFaultWrite) != 0};
    mprotect(g_page, 4096, PROT_READ | PROT_WRITE);
    uc->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

void onStep(int, siginfo_t*, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    mprotect(g_page, 4096, PROT_NONE);
    uc->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
}

}  // namespace

class AccessTrace : public PluginFixture {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__x86_64__)
        GTEST_SKIP() << "instruction tracing needs an uninstrumented x86-64 build";
#endif
        PluginFixture::SetUp();
    }

    // The plug-in's mapping of the control segment: the one that is not the companion's.
    uint8_t* pluginMapping() {
        std::ifstream maps("/proc/self/maps");
        for (std::string line; std::getline(maps, line);) {
            if (line.find(companion::kControlName) == std::string::npos)
                continue;
            std::istringstream fields(line);
            uintptr_t from = 0;
            fields >> std::hex >> from;
            if (reinterpret_cast<uint8_t*>(from) != control.bytes())
                return reinterpret_cast<uint8_t*>(from);
        }
        return nullptr;
    }

    // Runs one block with the page traced; returns the accesses to the header (offsets < 256).
    std::vector<Access> traced(uint32_t frames, const clap_event_transport* transport = nullptr) {
        std::vector<float> l(frames, 0.5f), r(frames, -0.5f), outL(frames), outR(frames);
        struct sigaction fault {
        }, step{}, oldFault{}, oldStep{};
        fault.sa_sigaction = onFault;
        fault.sa_flags = SA_SIGINFO;
        step.sa_sigaction = onStep;
        step.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &fault, &oldFault);
        sigaction(SIGTRAP, &step, &oldStep);
        g_page = pluginMapping();
        EXPECT_NE(g_page, nullptr);
        g_count = 0;
        mprotect(g_page, 4096, PROT_NONE);
        instance->process(l.data(), r.data(), outL.data(), outR.data(), frames, transport);
        mprotect(g_page, 4096, PROT_READ | PROT_WRITE);
        sigaction(SIGSEGV, &oldFault, nullptr);
        sigaction(SIGTRAP, &oldStep, nullptr);
        std::vector<Access> header;
        for (size_t i = 0; i < g_count; ++i)
            if (g_accesses[i].offset < 256)
                header.push_back(g_accesses[i]);
        return header;
    }

    static int count(const std::vector<Access>& trace, size_t offset, bool write) {
        int n = 0;
        for (const Access& a : trace)
            n += a.offset == offset && a.write == write;
        return n;
    }
    static int firstIndex(const std::vector<Access>& trace, size_t offset) {
        for (size_t i = 0; i < trace.size(); ++i)
            if (trace[i].offset == offset)
                return static_cast<int>(i);
        return -1;
    }
};

TEST_F(AccessTrace, SettingsAreReadOncePerBlockBeforeAnyPublication) {
    start(48000.0);
    const clap_event_transport playing = testhost::makeTransport(true, 1.0);
    control.setPreview(true, 0.25f);
    for (uint32_t frames : {1u, 512u, 4800u, 16384u}) {
        const std::vector<Access> trace = traced(frames, &playing);
        ASSERT_FALSE(trace.empty());
        const size_t settings[] = {off::captureHold,  off::previewRequest,
                                   off::previewStart, off::silenceThreshold,
                                   off::rateMismatch, off::resetMetersRequest};
        int lastSettingRead = -1;
        for (size_t field : settings) {
            EXPECT_EQ(count(trace, field, false), 1) << "field at " << field << ", " << frames;
            lastSettingRead = std::max(lastSettingRead, firstIndex(trace, field));
        }
        // The settings are read in the block's order, all before the first publication.
        EXPECT_LT(firstIndex(trace, off::captureHold), firstIndex(trace, off::previewRequest));
        EXPECT_LT(firstIndex(trace, off::previewRequest), firstIndex(trace, off::previewStart));
        EXPECT_LT(firstIndex(trace, off::silenceThreshold), firstIndex(trace, off::rateMismatch));
        EXPECT_LT(firstIndex(trace, off::rateMismatch), firstIndex(trace, off::resetMetersRequest));
        EXPECT_LT(lastSettingRead, firstIndex(trace, off::momentaryLufs));
        // The status fields follow in their fixed order, once each.
        const size_t status[] = {off::writePosFraction, off::updateCounter, off::lastOverviewColumn,
                                 off::playheadFraction};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(count(trace, status[i], true), 1) << status[i];
            if (i > 0) {
                EXPECT_LT(firstIndex(trace, status[i - 1]), firstIndex(trace, status[i]));
            }
        }
        // Every meter field is published before the status.
        for (size_t i = 0; i < trace.size(); ++i)
            if (trace[i].offset >= off::momentaryLufs &&
                trace[i].offset < off::resetMetersRequest) {
                EXPECT_LT(static_cast<int>(i), firstIndex(trace, off::writePosFraction));
            }
        // Requests are looked at once each, after the status.
        for (size_t request : {off::snapshotRequest, off::insertRequest, off::clearRequest})
            EXPECT_EQ(count(trace, request, false), 1) << request;
        // The companion's own fields are never written by the audio thread.
        for (size_t field : {off::magic, off::previewRequest, off::previewStart, off::captureHold,
                             off::silenceThreshold, off::selectionStart, off::selectionLength,
                             off::targetTrack, off::sampleRate, off::capturedRate})
            EXPECT_EQ(count(trace, field, true), 0) << field;
    }
}

TEST_F(AccessTrace, WithoutRequestsNoRequestByteIsWritten) {
    start(48000.0);
    const std::vector<Access> trace = traced(512);
    for (size_t request : {off::insertRequest, off::snapshotRequest, off::snapshotReady,
                           off::resetMetersRequest, off::clearRequest, off::rateMismatch})
        EXPECT_EQ(count(trace, request, true), 0) << request;
    control.requestMeterReset();
    const std::vector<Access> reset = traced(512);
    EXPECT_EQ(count(reset, off::resetMetersRequest, true), 1);
    EXPECT_LT(firstIndex(reset, off::resetMetersRequest), firstIndex(reset, off::momentaryLufs));
}
