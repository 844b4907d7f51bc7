// The page's files, embedded in the binary at build time (embed_web_assets.cmake).
#pragma once

#include <cstddef>

namespace companion {

struct WebAsset {
    const char* path;            // "/index.html", "/js/meters.js", ...
    const char* contentType;     // for the Content-Type header
    const unsigned char* bytes;  // the file's content
    size_t size;                 // in bytes
};

extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

}  // namespace companion
