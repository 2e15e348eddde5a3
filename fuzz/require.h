#pragma once

// A property every input must keep; a broken one stops the run where libFuzzer sees a crash
// and keeps the input.
inline void require(bool holds) {
    if (!holds)
        __builtin_trap();
}
