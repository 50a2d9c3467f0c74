// quillon_soak: the soak and fault-injection runs. Prints the seed that replays them, GoogleTest's
// output, and at the end "N passed, N failed" (one per test) for the test script.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/soak/CallHook.h"
#include "tests/soak/SoakOptions.h"

int main(int argc, char** argv) {
    // glibc keeps the stacks of ended threads for reuse, and with them the thread-local storage tables it
    // allocated on the heap: the heap count would depend on how many threads ended lately. The program
    // runs itself again with that cache off (an environment setting read when a program starts).
    if (!std::getenv("QUILLON_SOAK_NO_STACK_CACHE")) {
        const char* tunables = std::getenv("GLIBC_TUNABLES");
        std::string value =
            std::string(tunables && *tunables ? std::string(tunables) + ":" : "") + "glibc.pthread.stack_cache_size=0";
        setenv("GLIBC_TUNABLES", value.c_str(), 1);
        setenv("QUILLON_SOAK_NO_STACK_CACHE", "1", 1);
        execv("/proc/self/exe", argv);
        std::perror("quillon_soak: running again without the thread stack cache");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    if (!soak::ParseOptions(argc, argv)) return 2;
    soak::WarmUpStacks();
    const soak::SoakOptions& options = soak::Options();
    std::printf("quillon_soak: seed %llu (replay with QUILLON_SOAK_SEED=%llu), scale %g, sweep %s, jobs %u\n",
                static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(options.seed),
                options.scale, options.sweep.c_str(), options.jobs);
    std::fflush(stdout);
    const int status = RUN_ALL_TESTS();
    const auto* unit = ::testing::UnitTest::GetInstance();
    std::printf("%d passed, %d failed\n", unit->successful_test_count(), unit->failed_test_count());
    return status;
}
