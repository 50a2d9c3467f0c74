// QUILLON_KERNELS=sse2|avx2|avx512 in the environment holds the kernels to that set; unset (or another
// value), they are the best the processor allows.
#pragma once

#include <cstdlib>
#include <cstring>

#include "Service/Quillon/streaming/SampleConversion.h"

inline void HoldKernelsAsTheEnvironmentSays() {
    using SampleConversion::KernelSet;
    const char* wanted = std::getenv("QUILLON_KERNELS");
    KernelSet most = KernelSet::Avx512;
    for (KernelSet set : {KernelSet::Sse2, KernelSet::Avx2})
        if (wanted && std::strcmp(wanted, SampleConversion::KernelSetName(set)) == 0) most = set;
    SampleConversion::HoldKernelsTo(most);
}
