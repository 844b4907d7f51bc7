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

uint64_t TessarinPlugin::runFrames(const float* inL, const float* inR, float* outL, float* outR,
                                   uint32_t frames, uint64_t writePos,
                                   const BlockSettings& settings) {
    // Everything the loop touches lives in locals for the block and is stored back after it.
    const uint64_t size = capture.captureSize;
    float* const ring = capture.buffer.data();
    uint64_t w = writePos;
    uint64_t silence = capture.silenceCounter;
    const uint64_t tail = settings.gate.tailFrames;
    const uint64_t ceiling = settings.gate.ceilingFrames;
    const float threshold = settings.silenceThreshold;
    const bool capturing = !settings.captureHold && !settings.rateMismatch && size != 0;
    const bool mono = settings.monoInput;

    uint64_t previewPos = preview.previewPos;
    float previewGain = preview.previewGain;
    // The preview's state changes only at block start: whether it sounds is known per block.
    const bool previewActive = preview.previewActive && size != 0;
    const bool previewSilent = !previewActive && previewGain <= 0.0f;
    const float step = settings.fadeStep;

    ControlBlock* const block = settings.control;
    const bool drawing = capturing && block != nullptr;
    int32_t column = capture.lastOverviewColumn;
    // Ring positions [columnFrom, columnTo) all lie in positionColumn: the column rule runs only
    // when the write position leaves that range.
    uint64_t columnFrom = 0;
    uint64_t columnTo = 0;
    int32_t positionColumn = -1;
    float minL = 0.0f, maxL = 0.0f, minR = 0.0f, maxR = 0.0f;
    if (drawing && column >= 0) {
        minL = block->overviewMinL[column];
        maxL = block->overviewMaxL[column];
        minR = block->overviewMinR[column];
        maxR = block->overviewMaxR[column];
    }

    for (uint32_t i = 0; i < frames; ++i) {
        const float l = inL[i];
        const float r = mono ? 0.0f : inR[i];  // a missing right input reads 0.0 at any length

        // S3: the preview reads the ring before this frame's capture write. While it is silent
        // the input goes out untouched, bit for bit (0.0 + -0.0 would turn the sign).
        float outLeft = l;
        float outRight = r;
        if (!previewSilent) {
            float pl = 0.0f;
            float pr = 0.0f;
            bool read = false;
            if (previewActive) {
                previewGain = std::min(previewGain + step, 1.0f);
                read = true;
            } else if (previewGain > 0.0f) {
                previewGain = std::max(previewGain - step, 0.0f);
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
        if (outL != nullptr)
            outL[i] = outLeft;
        if (outR != nullptr)
            outR[i] = outRight;
        // S5
        const bool loud = std::fabs(l) >= threshold || std::fabs(r) >= threshold;
        silence = loud ? 0 : (silence < ceiling ? silence + 1 : silence);
        // S7
        if (!capturing || silence >= tail)
            continue;
        storeRelaxed(ring[w], l);  // relaxed: host insertion may copy on the main thread
        storeRelaxed(ring[w + 1], r);
        w = w + 2 < size ? w + 2 : 0;
        // S8
        if (!drawing)
            continue;
        const float right = mono ? l : r;
        if (w >= columnTo || w < columnFrom) {
            columnFrom = w;
            positionColumn = overviewColumn(w, size);
            columnTo = nextColumnBoundary(w, size);
        }
        if (positionColumn != column) {
            if (column >= 0) {
                block->overviewMinL[column] = minL;
                block->overviewMaxL[column] = maxL;
                block->overviewMinR[column] = minR;
                block->overviewMaxR[column] = maxR;
            }
            column = positionColumn;
            minL = maxL = l;
            minR = maxR = right;
        } else {
            minL = l >= minL ? minL : l;  // a NaN sample becomes the minimum, never the maximum
            maxL = l > maxL ? l : maxL;
            minR = right >= minR ? minR : right;
            maxR = right > maxR ? right : maxR;
        }
    }

    if (drawing && column >= 0) {
        block->overviewMinL[column] = minL;
        block->overviewMaxL[column] = maxL;
        block->overviewMinR[column] = minR;
        block->overviewMaxR[column] = maxR;
    }
    capture.lastOverviewColumn = column;
    capture.silenceCounter = silence;
    preview.previewPos = previewPos;
    preview.previewGain = previewGain;
    return w;
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
