// One audio block as a host hands it to a plug-in: input and output port 0 with the given
// channels, empty input events, dropped output events. Shared by the test host and
// tessarin-host, so both build blocks the same way.
#pragma once

#include <clap/audio-buffer.h>
#include <clap/events.h>
#include <clap/process.h>

#include <cstdint>

namespace clapblock {

inline uint32_t noEventsSize(const clap_input_events*) {
    return 0;
}
inline const clap_event_header_t* noEventsGet(const clap_input_events*, uint32_t) {
    return nullptr;
}
inline bool dropEvent(const clap_output_events*, const clap_event_header_t*) {
    return true;
}
inline constexpr clap_input_events kNoInputEvents{nullptr, &noEventsSize, &noEventsGet};
inline constexpr clap_output_events kDroppedOutputEvents{nullptr, &dropEvent};

// The record points into itself: build it where it is used, never copy it.
struct StereoBlock {
    // inR null: a one-channel input; outR null: a one-channel output.
    StereoBlock(const float* inL, const float* inR, float* outL, float* outR, uint32_t frames,
                const clap_event_transport* transport)
        : inputs{const_cast<float*>(inL), const_cast<float*>(inR)}, outputs{outL, outR} {
        input.data32 = inputs;
        input.channel_count = inR != nullptr ? 2 : 1;
        output.data32 = outputs;
        output.channel_count = outR != nullptr ? 2 : 1;
        process.steady_time = -1;
        process.frames_count = frames;
        process.transport = transport;
        process.audio_inputs = &input;
        process.audio_outputs = &output;
        process.audio_inputs_count = 1;
        process.audio_outputs_count = 1;
        process.in_events = &kNoInputEvents;
        process.out_events = &kDroppedOutputEvents;
    }
    StereoBlock(const StereoBlock&) = delete;
    StereoBlock& operator=(const StereoBlock&) = delete;

    float* inputs[2];
    float* outputs[2];
    clap_audio_buffer input{};
    clap_audio_buffer output{};
    clap_process process{};
};

}  // namespace clapblock
