// Command-line options of tessarin-host.
#pragma once

#include <cstdint>
#include <string>

namespace tessarinhost {

inline constexpr uint32_t kDefaultBlockFrames = 512;
inline constexpr uint32_t kMaxBlockFrames = 65536;  // well below the ring at the lowest rate
inline constexpr double kMinRateHz = 8000.0;
inline constexpr double kMaxRateHz = 384000.0;
inline constexpr const char* kDefaultOutDir = "out";

struct Options {
    std::string input;                           // empty: the embedded phrase
    std::string pluginPath;                      // the .clap to load
    double rateHz = 0.0;                         // activation rate; 0 = the input's rate
    uint32_t blockFrames = kDefaultBlockFrames;  // frames per process call
    bool exportStretch = false;                  // --export given
    float exportStart = 0.0f;                    // fraction of the ring
    float exportLength = 0.0f;                   // fraction of the ring
    std::string outDir = kDefaultOutDir;         // project directory of the export
    bool json = false;                           // summary as JSON on stdout
    bool progress = true;                        // progress bar when stderr is a terminal
    bool help = false;                           // print the usage and exit
    bool realtime = false;                       // deliver blocks at the audio rate
    bool loop = false;                           // repeat the input until stopped
    bool attach = false;                         // use a running companion's control segment
};

// Fills options from argv. Returns an empty string on success, else one line saying what is wrong.
std::string parseOptions(int argc, const char* const* argv, Options& options);

// The usage text for --help.
const char* usageText();

}  // namespace tessarinhost
