// Runs a test body with the kernels the processor chooses and again held to SSE2: where AVX2 exists the
// two are different code (conversions and routings) that must give the same results, bit for bit.
#pragma once

#include <gtest/gtest.h>

#include "Service/Quillon/streaming/SampleConversion.h"

template <typename Body>
void WithEachKernelSet(Body body) {
    for (bool sse2Only : {false, true}) {
        if (sse2Only && !SampleConversion::Avx2Available()) continue;
        SCOPED_TRACE(sse2Only ? "SSE2" : "chosen kernels");
        SampleConversion::HoldToSse2(sse2Only);
        body();
        SampleConversion::HoldToSse2(false);
        if (::testing::Test::HasFatalFailure()) return;
    }
}
