// Counts heap allocations made by any code in the test process (the loaded module included)
// while armed. malloc and friends are interposed in the test binary; under a sanitizer, which
// owns malloc, the sanitizer's allocation hook counts instead.
#pragma once

#include <cstdint>

namespace alloccount {

void arm();
void disarm();
uint64_t count();  // allocations seen while armed since the last arm()

// Arms for its lifetime.
struct Armed {
    Armed() { arm(); }
    ~Armed() { disarm(); }
};

}  // namespace alloccount
