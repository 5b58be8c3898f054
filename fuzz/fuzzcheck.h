#pragma once

#include <cstdio>
#include <cstdlib>

// A failed property is a crash for libFuzzer, whatever NDEBUG says.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition)                                                                                   \
         ? void()                                                                                  \
         : (std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition),  \
            std::abort()))
