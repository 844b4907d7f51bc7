#include "companion/take_overview.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace companion {

namespace {

constexpr size_t kChannels = 2;

}  // namespace

bool takeOverview(const History& history, int64_t id, uint64_t takeFrames, uint64_t firstFrame,
                  uint64_t frames, size_t columns, TakeOverview& out, std::string& error) {
    out = TakeOverview{};
    out.firstFrame = std::min(firstFrame, takeFrames);
    const uint64_t left = takeFrames - out.firstFrame;
    out.frames = frames == 0 ? left : std::min(frames, left);
    out.columns = static_cast<size_t>(
        std::min<uint64_t>(std::clamp<size_t>(columns, 1, kMaxOverviewColumns), out.frames));
    if (out.columns == 0) {
        return true;
    }
    // Running extremes per column start inverted, so the first finite sample sets both.
    constexpr float kHuge = std::numeric_limits<float>::max();
    out.minMax.assign(out.columns * 4, 0.0f);
    for (size_t c = 0; c < out.columns; ++c) {
        out.minMax[4 * c + 0] = out.minMax[4 * c + 2] = kHuge;
        out.minMax[4 * c + 1] = out.minMax[4 * c + 3] = -kHuge;
    }
    std::vector<float> chunk;
    size_t column = 0;
    // The first frame (from the stretch's start) of the next column.
    auto columnEnd = [&](size_t c) {
        return (static_cast<uint64_t>(c) + 1) * out.frames / out.columns;
    };
    uint64_t nextEdge = columnEnd(0);
    for (uint64_t done = 0; done < out.frames;) {
        const uint64_t want = std::min(kOverviewChunkFrames, out.frames - done);
        chunk.clear();
        if (!history.read(id, out.firstFrame + done, want, chunk, error)) {
            return false;
        }
        const uint64_t got = chunk.size() / kChannels;
        if (got == 0) {
            error = "the take holds fewer frames than its length says";
            return false;
        }
        for (uint64_t i = 0; i < got; ++i) {
            while (done + i >= nextEdge) {
                nextEdge = columnEnd(++column);
            }
            float* m = &out.minMax[4 * column];
            for (size_t ch = 0; ch < kChannels; ++ch) {
                const float v = chunk[kChannels * i + ch];
                if (std::isfinite(v)) {
                    m[2 * ch] = std::min(m[2 * ch], v);
                    m[2 * ch + 1] = std::max(m[2 * ch + 1], v);
                }
            }
        }
        done += got;
    }
    for (size_t c = 0; c < out.columns; ++c) {
        for (size_t ch = 0; ch < kChannels; ++ch) {
            if (out.minMax[4 * c + 2 * ch] > out.minMax[4 * c + 2 * ch + 1]) {
                out.minMax[4 * c + 2 * ch] = out.minMax[4 * c + 2 * ch + 1] = 0.0f;
            }
        }
    }
    return true;
}

std::string takeOverviewJson(const HistoryTake& take, const TakeOverview& overview) {
    char number[32];
    auto append = [&](std::string& text, auto value) {
        const auto done = std::to_chars(number, number + sizeof number, value);
        text.append(number, done.ptr);
    };
    std::string text = "{\"id\":";
    append(text, take.id);
    text += ",\"rate\":";
    append(text, take.rateHz);
    text += ",\"frames\":";
    append(text, take.frames);
    text += ",\"first\":";
    append(text, overview.firstFrame);
    text += ",\"count\":";
    append(text, overview.frames);
    text += ",\"columns\":";
    append(text, overview.columns);
    text += ",\"minMax\":[";
    for (size_t i = 0; i < overview.minMax.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        append(text, overview.minMax[i]);
    }
    return text + "]}";
}

}  // namespace companion
