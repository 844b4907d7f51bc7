// The block driver: one host block from buffer setup to heartbeat, its stages in a fixed order.
//
//   before the samples   B1 spectrum feed, B2 captureHold, B3 preview request edge,
//                        B4/B5 write position, threshold and rateMismatch, B6 meter reset
//                        request, B7 transport watch, B8 per-block values from the rate
//   per frame            S2/S6 meters, S3 preview read, S4 output, S5 gate, S7 capture write,
//                        S8 overview
//   after the samples    E1 meters, E2 writePos, E3 status, E4 snapshot, E5 insertion trigger,
//                        E6 clear request, E7 heartbeat
//
// The meters read only the raw input, so they run as their own pass over the block before any
// output is written: an in-place host never lets the preview reach them, and every other
// per-frame stage keeps its order within the frame.
#include "plugin/tessarin_plugin.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

void fillSilence(float* out, uint32_t frames) {
    if (out != nullptr)
        std::memset(out, 0, frames * sizeof(float));
}

}  // namespace

// The companion's settings as read once at block start, and what the block derives from them.
struct BlockSettings {
    bool monoInput;          // no usable right input channel: it reads 0.0
    bool captureHold;        // bit 0 of captureHold
    bool rateMismatch;       // bit 0 of rateMismatch
    float silenceThreshold;  // linear amplitude
    float fadeStep;          // preview gain change per frame
    GateLimits gate;         // silence gate tail and ceiling, frames
    ControlBlock* control;   // null without the companion
};

clap_process_status TessarinPlugin::process(const clap_process* process) {
    // Buffer setup.
    if (process->audio_inputs == nullptr || process->audio_outputs == nullptr ||
        process->audio_inputs_count == 0 || process->audio_outputs_count == 0)
        return CLAP_PROCESS_ERROR;
    const uint32_t frames = process->frames_count;
    const clap_audio_buffer& out = process->audio_outputs[0];
    float* outL = nullptr;
    float* outR = nullptr;
    if (out.data32 != nullptr && out.channel_count >= 1) {
        outL = out.data32[0];
        if (out.channel_count >= 2)
            outR = out.data32[1];
    }
    const clap_audio_buffer& in = process->audio_inputs[0];
    if (in.data32 == nullptr || in.channel_count == 0 || in.data32[0] == nullptr) {
        fillSilence(outL, frames);
        fillSilence(outR, frames);
        return CLAP_PROCESS_CONTINUE;
    }
    const float* inL = in.data32[0];
    const bool monoInput = !(in.channel_count >= 2 && in.data32[1] != nullptr);
    const float* inR = monoInput ? nullptr : in.data32[1];

    // B1: the feed carries the input as delivered, before any output is written.
    feedSpectrum(spectrum, inL, inR, frames);

    ControlBlock* const block = control;
    BlockSettings settings{};
    settings.monoInput = monoInput;
    settings.control = block;
    settings.silenceThreshold = kDefaultSilenceThreshold;
    // B2, B3
    bool previewRequested = false;
    float previewStart = 0.0f;
    if (block != nullptr) {
        settings.captureHold = flagBit0Set(block->captureHold);
        previewRequested = requestSet(block->previewRequest);
        previewStart = loadAcquire(block->previewStart);
    }
    previewRequestEdge(preview, previewRequested, previewStart, capture.captureSize);
    // B5
    if (block != nullptr) {
        settings.silenceThreshold = block->silenceThreshold;
        settings.rateMismatch = flagBit0Set(block->rateMismatch);
        // B6
        if (requestSet(block->resetMetersRequest)) {
            storeRelease(block->resetMetersRequest, 0);
            resetMeters(loudness, level);
        }
    }
    // B7
    if (process->transport != nullptr)
        trackTransport(loudness, level, block, process->transport, frames, sampleRate);

    // B4: the working write position, advanced by the frame loop and stored once at E2.
    uint64_t writePos = capture.writePos.load(std::memory_order_relaxed);
    if (frames > 0) {
        // B8
        settings.fadeStep = previewFadeStep(sampleRate);
        settings.gate = gateLimits(sampleRate);
        // S2, S6 over the whole block, then S3 to S8 frame by frame
        meterBlock(loudness, level, block, inL, inR, frames);
        writePos = runFrames(inL, inR, outL, outR, frames, writePos, settings);
    }

    // E1
    if (block != nullptr)
        publishMeters(loudness, level, *block);
    // E2
    capture.writePos.store(writePos, std::memory_order_release);
    if (block == nullptr)
        return CLAP_PROCESS_CONTINUE;

    // E3
    if (capture.captureSize != 0) {
        storeRelease(block->writePosFraction,
                     static_cast<float>(writePos) / static_cast<float>(capture.captureSize));
        ++updateCounter;
        storeRelease(block->updateCounter, updateCounter);
        storeRelease(block->lastOverviewColumn, capture.lastOverviewColumn);
        storeRelease(block->playheadFraction, playheadFraction(preview, capture.captureSize));
    }
    // E4
    serveSnapshotRequest(snapshot, capture, *block);
    // E5: at most one main-thread callback outstanding per request.
    if (requestSet(block->insertRequest) && !callbackPending.load(std::memory_order_relaxed) &&
        host->request_callback != nullptr) {
        callbackPending.store(true, std::memory_order_relaxed);
        host->request_callback(host);
    }
    // E6
    if (requestSet(block->clearRequest))
        serveClearRequest(*block);
    // E7
    stampHeartbeat(*block, frames);
    return CLAP_PROCESS_CONTINUE;
}

namespace {

// Left and right side by side (lanes 0 and 1; 2 and 3 unused): one packed compare and select
// does per lane exactly what the scalar one does, so an overview column's four extremes cost
// half the instructions and come out bit for bit alike.
typedef float Lanes __attribute__((vector_size(16)));

// Everything the frame loop reads and updates, in locals for the block and stored back after it.
struct FrameLoop {
    const float* inL;
    const float* inR;  // null for a mono block
    float* outL;
    float* outR;
    uint32_t frames;
    float* ring;
    uint64_t size;  // ring length in floats
    uint64_t w;     // working write position
    uint64_t silence;
    uint64_t tail, ceiling;
    float threshold;
    uint64_t previewPos;
    float previewGain;
    bool previewActive;
    float step;
    ControlBlock* block;
    int32_t column;
    Lanes minimum, maximum;  // of the column being drawn: left in lane 0, right in lane 1
};

// [audio-thread] A finished overview column's four values into the control block.
inline void storeColumn(ControlBlock& block, int32_t column, Lanes minimum, Lanes maximum) {
    block.overviewMinL[column] = minimum[0];
    block.overviewMaxL[column] = maximum[0];
    block.overviewMinR[column] = minimum[1];
    block.overviewMaxR[column] = maximum[1];
}

// [audio-thread] S3 to S8 for every frame. The block's fixed choices are template arguments, so
// the loop carries no test of them: kPreview, the preview may sound in this block; kOutput, the
// loop writes the outputs (else the caller copies the input to them as whole blocks); kCapture,
// frames the gate lets through go into the ring; kDraw, they also go into the overview.
template <bool kPreview, bool kOutput, bool kCapture, bool kDraw> void frameLoop(FrameLoop& f) {
    static_assert(kOutput || !kPreview,
                  "a sounding preview is mixed into the output frame by frame");
    static_assert(kCapture || !kDraw, "only captured frames are drawn");
    const bool mono = f.inR == nullptr;
    float* const ring = f.ring;
    const uint64_t size = f.size;
    uint64_t w = f.w;
    uint64_t silence = f.silence;
    uint64_t previewPos = f.previewPos;
    float previewGain = f.previewGain;
    int32_t column = f.column;
    Lanes minimum = f.minimum, maximum = f.maximum;
    // Ring positions from where the column rule last ran up to columnTo all lie in
    // positionColumn: the rule runs again only when the write position reaches columnTo, or
    // wraps to the ring's start (which sets columnTo to 0).
    uint64_t columnTo = 0;
    int32_t positionColumn = -1;

    for (uint32_t i = 0; i < f.frames; ++i) {
        const float l = f.inL[i];
        const float r = mono ? 0.0f : f.inR[i];  // a missing right input reads 0.0 at any length

        // S3: the preview reads the ring before this frame's capture write. While it is silent
        // the input goes out untouched, bit for bit (0.0 + -0.0 would turn the sign).
        float outLeft = l;
        float outRight = r;
        if (kPreview) {
            float pl = 0.0f;
            float pr = 0.0f;
            bool read = false;
            if (f.previewActive) {
                previewGain = std::min(previewGain + f.step, 1.0f);
                read = true;
            } else if (previewGain > 0.0f) {
                previewGain = std::max(previewGain - f.step, 0.0f);
                read = size != 0;
            }
            if (read) {
                pl = ring[previewPos] * previewGain;
                pr = ring[previewPos + 1] * previewGain;
                previewPos = previewPos + 2 < size ? previewPos + 2 : 0;
                outLeft = pl + l;
                outRight = pr + r;
            }
        }
        // S4
        if (kOutput) {
            if (f.outL != nullptr)
                f.outL[i] = outLeft;
            if (f.outR != nullptr)
                f.outR[i] = outRight;
        }
        // S5: both tests always made (no short circuit), so no branch depends on the samples.
        const bool loud = static_cast<int>(std::fabs(l) >= f.threshold) |
                          static_cast<int>(std::fabs(r) >= f.threshold);
        silence = loud ? 0 : (silence < f.ceiling ? silence + 1 : silence);
        // S7
        if (!kCapture || silence >= f.tail)
            continue;
        storeRelaxed(ring[w], l);  // relaxed: host insertion may copy on the main thread
        storeRelaxed(ring[w + 1], r);
        if (w + 2 < size) {
            w += 2;
        } else {
            w = 0;
            columnTo = 0;
        }
        // S8
        if (!kDraw)
            continue;
        const float right = mono ? l : r;
        if (w >= columnTo) {
            positionColumn = overviewColumn(w, size);
            columnTo = nextColumnBoundary(w, size);
        }
        const Lanes x = {l, right, 0.0f, 0.0f};
        if (positionColumn != column) {
            if (column >= 0)
                storeColumn(*f.block, column, minimum, maximum);
            column = positionColumn;
            minimum = maximum = x;
        } else {
            // A NaN sample becomes the minimum, never the maximum.
            minimum = x >= minimum ? minimum : x;
            maximum = x > maximum ? x : maximum;
        }
    }
    f.w = w;
    f.silence = silence;
    f.previewPos = previewPos;
    f.previewGain = previewGain;
    f.column = column;
    f.minimum = minimum;
    f.maximum = maximum;
}

template <bool kPreview, bool kOutput> void frameLoopFor(FrameLoop& f, bool capture, bool draw) {
    if (draw)
        frameLoop<kPreview, kOutput, true, true>(f);
    else if (capture)
        frameLoop<kPreview, kOutput, true, false>(f);
    else
        frameLoop<kPreview, kOutput, false, false>(f);
}

bool overlap(const float* a, const float* b, uint32_t frames) {
    return a != nullptr && b != nullptr && a < b + frames && b < a + frames;
}

// Whether the outputs may take the input as whole-block copies after the frame loop rather than
// frame by frame within it: each output is its own input (in place) or overlaps no input, and
// the two outputs do not overlap. A host that lays its buffers out any other way gets the
// frame-by-frame writes, whose result depends on their order.
bool outputsCopyAsBlocks(const float* inL, const float* inR, const float* outL, const float* outR,
                         uint32_t frames) {
    if (overlap(outL, outR, frames))
        return false;
    const bool leftClear =
        outL == inL || (!overlap(outL, inL, frames) && !overlap(outL, inR, frames));
    const bool rightClear = (outR == inR && inR != nullptr) ||
                            (!overlap(outR, inL, frames) && !overlap(outR, inR, frames));
    return leftClear && rightClear;
}

}  // namespace

uint64_t TessarinPlugin::runFrames(const float* inL, const float* inR, float* outL, float* outR,
                                   uint32_t frames, uint64_t writePos,
                                   const BlockSettings& settings) {
    FrameLoop f{};
    f.inL = inL;
    f.inR = settings.monoInput ? nullptr : inR;
    f.outL = outL;
    f.outR = outR;
    f.frames = frames;
    f.ring = capture.buffer.data();
    f.size = capture.captureSize;
    f.w = writePos;
    f.silence = capture.silenceCounter;
    f.tail = settings.gate.tailFrames;
    f.ceiling = settings.gate.ceilingFrames;
    f.threshold = settings.silenceThreshold;
    f.previewPos = preview.previewPos;
    f.previewGain = preview.previewGain;
    // The preview's state changes only at block start: whether it sounds is known per block.
    f.previewActive = preview.previewActive && f.size != 0;
    f.step = settings.fadeStep;
    f.block = settings.control;
    f.column = capture.lastOverviewColumn;
    const bool capturing = !settings.captureHold && !settings.rateMismatch && f.size != 0;
    const bool drawing = capturing && f.block != nullptr;
    if (drawing && f.column >= 0) {
        f.minimum = Lanes{f.block->overviewMinL[f.column], f.block->overviewMinR[f.column]};
        f.maximum = Lanes{f.block->overviewMaxL[f.column], f.block->overviewMaxR[f.column]};
    }

    const bool previewSilent = !f.previewActive && f.previewGain <= 0.0f;
    if (!previewSilent) {
        frameLoopFor<true, true>(f, capturing, drawing);
    } else if (!outputsCopyAsBlocks(f.inL, f.inR, outL, outR, frames)) {
        frameLoopFor<false, true>(f, capturing, drawing);
    } else {
        // S4 for the whole block: the input goes out bit for bit (a missing right input as 0.0).
        frameLoopFor<false, false>(f, capturing, drawing);
        if (outL != nullptr && outL != f.inL)
            std::memcpy(outL, f.inL, frames * sizeof(float));
        if (outR != nullptr && outR != f.inR) {
            if (f.inR != nullptr)
                std::memcpy(outR, f.inR, frames * sizeof(float));
            else
                std::fill(outR, outR + frames, 0.0f);
        }
    }

    if (drawing && f.column >= 0)
        storeColumn(*f.block, f.column, f.minimum, f.maximum);
    capture.lastOverviewColumn = f.column;
    capture.silenceCounter = f.silence;
    preview.previewPos = f.previewPos;
    preview.previewGain = f.previewGain;
    return f.w;
}

void TessarinPlugin::serveClearRequest(ControlBlock& block) {
    zeroCaptureRing(capture);
    capture.writePos.store(0, std::memory_order_release);
    capture.lastOverviewColumn = -1;
    capture.silenceCounter = gateLimits(sampleRate).ceilingFrames;
    zeroOverview(block);
    block.writePosFraction = 0.0f;
    ++updateCounter;
    block.updateCounter = updateCounter;
    storeRelease(block.lastOverviewColumn, -1);
    resetMeters(loudness, level);
    capture.capturedRate = sampleRate;
    block.rateMismatch = 0;
    storeRelease(block.clearRequest, 0);  // last: the companion sees a complete clear
}

void TessarinPlugin::stampHeartbeat(ControlBlock& block, uint32_t frames) {
    heartbeatFrames += frames;
    if (heartbeatFrames < heartbeatInterval)
        return;
    heartbeatFrames = 0;  // frames beyond the interval are dropped, not carried over
    const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    storeRelease(block.heartbeatMs, nowNs / 1000000);
}
