#include "tessarin_host/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tessarinhost {

namespace {

// Parses all of text as a finite number.
bool parseNumber(const char* text, double& value) {
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

bool parseCount(const char* text, uint64_t& value) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    value = parsed;
    return errno == 0 && *end == '\0';
}

}  // namespace

const char* usageText() {
    return "usage: tessarin-host [options] [INPUT]\n"
           "\n"
           "Loads the tessarin plug-in as a DAW does, plays the companion's part, streams INPUT\n"
           "(any file libsndfile reads: WAV, FLAC, AIFF, ...; mono or stereo) through it block by\n"
           "block with a playing transport, and prints what the plug-in measured and captured.\n"
           "Without INPUT it plays an embedded 20-second stereo phrase with silences in it.\n"
           "\n"
           "options:\n"
           "  --plugin PATH          the .clap to load (default: the one this build made)\n"
           "  --rate HZ              activation rate, 8000..384000 (default: the input's rate);\n"
           "                         the samples are streamed unchanged, not resampled\n"
           "  --block N              frames per block, 1..65536 (default 512)\n"
           "  --export START LENGTH  export that stretch of the capture ring (fractions 0..1)\n"
           "                         twice: through the snapshot segment into a WAV this tool\n"
           "                         writes, and through the plug-in's own host insertion\n"
           "  --out DIR              directory of both exported files (default ./out)\n"
           "  --realtime             deliver the blocks at the audio rate, as a sound card would\n"
           "  --loop                 repeat the input until stopped (SIGINT or SIGTERM end the\n"
           "                         run cleanly, with the summary)\n"
           "  --attach               use the control segment a running tessarin-companion made,\n"
           "                         and leave it in place at the end\n"
           "  --json                 print the summary as JSON\n"
           "  --no-progress          no progress bar (it is shown only on a terminal anyway)\n"
           "  -h, --help             this text\n"
           "\n"
           "exit status: 0 done, 1 failed (input, plug-in or export), 2 bad options\n";
}

// [main-thread]
std::string parseOptions(int argc, const char* const* argv, Options& options) {
    bool haveInput = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&](int ahead) -> const char* {
            return i + ahead < argc ? argv[i + ahead] : nullptr;
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--realtime") {
            options.realtime = true;
        } else if (arg == "--loop") {
            options.loop = true;
        } else if (arg == "--attach") {
            options.attach = true;
        } else if (arg == "--no-progress") {
            options.progress = false;
        } else if (arg == "--plugin" || arg == "--out") {
            const char* text = value(1);
            if (text == nullptr || *text == '\0')
                return std::string(arg) + " needs a path";
            (arg == "--plugin" ? options.pluginPath : options.outDir) = text;
            ++i;
        } else if (arg == "--rate") {
            double rate = 0.0;
            if (!parseNumber(value(1), rate) || rate < kMinRateHz || rate > kMaxRateHz)
                return "--rate needs a sample rate in Hz from 8000 to 384000";
            options.rateHz = rate;
            ++i;
        } else if (arg == "--block") {
            uint64_t frames = 0;
            if (!parseCount(value(1), frames) || frames < 1 || frames > kMaxBlockFrames)
                return "--block needs a whole number of frames from 1 to 65536";
            options.blockFrames = static_cast<uint32_t>(frames);
            ++i;
        } else if (arg == "--export") {
            double start = 0.0;
            double length = 0.0;
            if (!parseNumber(value(1), start) || !parseNumber(value(2), length))
                return "--export needs START and LENGTH, fractions of the ring";
            if (start < 0.0 || start > 1.0 || length <= 0.0 || length > 1.0)
                return "--export START must lie in 0..1 and LENGTH in (0, 1]";
            options.exportStretch = true;
            options.exportStart = static_cast<float>(start);
            options.exportLength = static_cast<float>(length);
            i += 2;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + std::string(arg);
        } else if (haveInput) {
            return "more than one input file given";
        } else {
            options.input = arg;
            haveInput = true;
        }
    }
    if (options.attach && options.exportStretch)
        return "--export cannot be used with --attach: the running companion owns the requests";
    return "";
}

}  // namespace tessarinhost
