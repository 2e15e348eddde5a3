#pragma once

// The instruction sets the hash kernels may use on this CPU, found once and shared by the SHA-1
// and SHA-256 paths. Built with the project's baseline flags, so asking is safe on any x86-64.

struct cpu_support {
    bool shani;  // SHA extensions, with the SSSE3 and SSE4.1 their kernels also use
    bool avx2;   // 256-bit integer lanes, with the OS saving their registers
    bool avx512; // 512-bit lanes (F, VL and BW), with the OS saving their registers
    // The paths rank differently on AMD's and Intel's cores: AMD's SHA unit takes the rounds of
    // several streams at once, Intel's barely more than one stream's.
    bool amd;
};

// What this CPU and OS offer; detected at first use, thread safe.
const cpu_support &cpu_features();
