// Metering of the raw stereo input: K-weighted loudness (momentary, short-term, gated integrated)
// and unweighted levels (RMS over 400 ms with a hold, sample peak, crest), with the transport
// watch that restarts them. Loudness in LUFS, levels in dB, f64 throughout; -200.0 = no value.
#pragma once

#include "shm/control_block.h"

#include <clap/events.h>

#include <cstdint>

inline constexpr uint32_t kLoudnessRingBlocks = 30;  // 3 s of 100 ms blocks
inline constexpr uint32_t kMomentaryBlocks = 4;      // 400 ms
inline constexpr uint32_t kHistogramBins = 1024;     // 0.1 LU each, from -70 LUFS
inline constexpr uint32_t kRmsRingBlocks = 4;        // 400 ms
inline constexpr double kMeterBlockSeconds = 0.1;
inline constexpr double kAbsoluteGateLufs = -70.0;
inline constexpr double kHoldFloorDb = -70.0;         // holds and crest take only values above
inline constexpr double kTransportJumpSeconds = 0.1;  // a larger position step restarts the meters

struct LoudnessMeter {
    double shelfCoeffs[5] = {};     // b0, b1, b2, a1, a2 of the high-shelf stage
    double highPassCoeffs[5] = {};  // b0, b1, b2, a1, a2 of the high-pass stage (b = 1, -2, 1)
    double shelfState[4] = {};      // Direct Form II delays: left w1, w2, right w1, w2
    double highPassState[4] = {};   // same order
    uint64_t blockLength = 0;       // samples per channel in a 100 ms block
    double blockSumL = 0.0;         // sum of squared K-weighted left samples in the current block
    double blockSumR = 0.0;         // the same for the right channel
    uint64_t blockSamples = 0;      // samples counted in the current block
    double blockEnergies[kLoudnessRingBlocks] = {};  // energies of the last 30 completed blocks
    uint64_t ringIndex = 0;                          // slot the next completed block fills
    uint64_t ringFill = 0;                           // slots filled since the last reset, 0..30
    uint32_t histCounts[kHistogramBins] = {};        // gated blocks per 0.1 LU bin
    double histEnergy[kHistogramBins] = {};          // sum of their mean squares
    double gatedEnergySum = 0.0;   // mean squares of all blocks past the absolute gate
    uint64_t gatedBlockCount = 0;  // blocks past the absolute gate
    double momentary = kNoLevel;   // LUFS
    double shortTerm = kNoLevel;   // LUFS
    double integrated = kNoLevel;  // LUFS
    bool integrating = false;      // the host transport plays: blocks feed the histogram
};

struct LevelMeter {
    double rmsRing[kRmsRingBlocks] = {};  // sums of L^2 + R^2 of the last 4 RMS blocks
    int32_t rmsRingIndex = 0;             // slot the next completed RMS block fills
    double rmsBlockSum = 0.0;             // running L^2 + R^2 over the current RMS block
    uint64_t rmsBlockLength = 0;          // samples per channel in an RMS block (100 ms)
    uint64_t rmsBlockSamples = 0;         // samples counted in the current RMS block
    double rmsRingSum = 0.0;              // running total of the ring's slots
    int32_t rmsRingFill = 0;              // slots filled since the last reset, 0..4
    double peak = 0.0;                    // largest |sample| of either channel since the last reset
    double expectedPosition = -1.0;  // transport seconds expected at the next block; -1 unarmed
    bool wasPlaying = false;         // the transport played in the last block that carried one
};

// [main-thread, inactive] Filter coefficients and block lengths for the activation's rate.
void prepareMeters(LoudnessMeter& loudness, LevelMeter& level, double sampleRate);

// [audio-thread or main-thread, inactive] Clears all measurement state of both meters; keeps
// coefficients, block lengths, integrating and the transport watch. Writes no control field.
void resetMeters(LoudnessMeter& loudness, LevelMeter& level);

// [audio-thread] Block start: transport start or a position jump of more than 0.1 s restarts
// the meters and, with a control block, writes -200.0 into the nine published meter fields.
void trackTransport(LoudnessMeter& loudness, LevelMeter& level, ControlBlock* control,
                    const clap_event_transport* transport, uint32_t framesCount, double sampleRate);

// [audio-thread] One frame of K-weighting and 100 ms loudness blocks.
void addLoudnessSample(LoudnessMeter& loudness, double left, double right);

// [audio-thread] One frame of peak and RMS; publishes rmsDb and rmsMaxDb at an RMS block's end.
void addLevelSample(LevelMeter& level, ControlBlock* control, double left, double right);

// [audio-thread] Both meters over a whole block, exactly as addLoudnessSample then addLevelSample
// for every frame in order. inR is null for a mono block: the right channel reads 0.0.
void meterBlock(LoudnessMeter& loudness, LevelMeter& level, ControlBlock* control, const float* inL,
                const float* inR, uint32_t frames);

// [audio-thread] Block end: momentary, short-term and their holds, integrated, peak and crest.
void publishMeters(const LoudnessMeter& loudness, const LevelMeter& level, ControlBlock& control);
