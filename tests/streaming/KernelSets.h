// Runs a test body once for every kernel set the processor has (AVX-512, AVX2, SSE2): on a processor
// with the wider sets they are different code (conversions and routings) that must give the same
// results, bit for bit.
#pragma once

#include <gtest/gtest.h>

#include "Service/Quillon/streaming/SampleConversion.h"

template <typename Body>
void WithEachKernelSet(Body body) {
    using SampleConversion::KernelSet;
    for (KernelSet set : {KernelSet::Avx512, KernelSet::Avx2, KernelSet::Sse2}) {
        if (set > SampleConversion::BestKernelSet()) continue;
        SCOPED_TRACE(SampleConversion::KernelSetName(set));
        SampleConversion::HoldKernelsTo(set);
        body();
        SampleConversion::HoldKernelsTo(KernelSet::Avx512);
        if (::testing::Test::HasFatalFailure()) return;
    }
}
