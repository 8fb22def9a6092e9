// A failed property ends the fuzzer with the input that broke it, like a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                                    \
    do {                                                                                              \
        if (!(condition)) {                                                                           \
            std::fprintf(stderr, "property violated at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, "" __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                               \
            std::abort();                                                                             \
        }                                                                                             \
    } while (false)
