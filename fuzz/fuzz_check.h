// An invariant that must hold for every input: a broken one names itself and
// aborts, which libFuzzer reports with the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h> // dprintf: the report reaches fd 2 whatever stderr points at

#define check(condition)                                                                 \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            dprintf(2, "invariant broken at line %d: %s\n", __LINE__, #condition);      \
            abort();                                                                     \
        }                                                                                \
    } while (0)

// Takes values from the front of the fuzz input.
struct FuzzInput {
    const uint8_t* data;
    size_t size;

    bool empty() const { return size == 0; }
    uint8_t byte()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
    uint32_t word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | byte();
        return v;
    }
};
