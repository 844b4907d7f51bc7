// A history take's overview for drawing: per column the minimum and maximum of each channel over
// a stretch of the take, read from its file in chunks, so a page can draw a long take without
// fetching its audio.
#pragma once

#include "companion/history.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace companion {

inline constexpr size_t kMaxOverviewColumns = 4096;
inline constexpr uint64_t kOverviewChunkFrames = 1u << 16;  // frames read from the file at a time

struct TakeOverview {
    uint64_t firstFrame = 0;  // the stretch covered, clipped to the take
    uint64_t frames = 0;
    size_t columns = 0;  // at most the columns asked for, at most one per frame
    // columns × {minLeft, maxLeft, minRight, maxRight}. Column c covers the frames
    // [first + c·frames/columns, first + (c+1)·frames/columns). Non-finite samples (NaN,
    // infinities) are left out; a column with no finite sample reads 0, 0.
    std::vector<float> minMax;
};

// [server-thread] The overview of frames [firstFrame, firstFrame + frames) of take `id` (frames
// 0: to the end), clipped to the takeFrames it holds, in at most `columns` columns
// (1..kMaxOverviewColumns). False with one line in error when the take cannot be read.
bool takeOverview(const History& history, int64_t id, uint64_t takeFrames, uint64_t firstFrame,
                  uint64_t frames, size_t columns, TakeOverview& out, std::string& error);

// [server-thread] The overview as JSON text: {"id", "rate", "frames", "first", "count",
// "columns", "minMax": [...]}, every float in its shortest exact form.
std::string takeOverviewJson(const HistoryTake& take, const TakeOverview& overview);

}  // namespace companion
