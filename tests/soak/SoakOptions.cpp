#include "tests/soak/SoakOptions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace soak {
namespace {

SoakOptions g_options;

const char* Value(const char* arg, const char* flag) {
    const std::size_t n = std::strlen(flag);
    return std::strncmp(arg, flag, n) == 0 && arg[n] == '=' ? arg + n + 1 : nullptr;
}

bool ParseNumber(const char* text, std::uint64_t* out) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (!*text || *end) return false;
    *out = value;
    return true;
}

bool Apply(const char* name, const char* text) {
    std::uint64_t number = 0;
    if (!std::strcmp(name, "seed")) return ParseNumber(text, &g_options.seed);
    if (!std::strcmp(name, "jobs")) {
        if (!ParseNumber(text, &number) || number == 0) return false;
        g_options.jobs = static_cast<unsigned>(number);
        return true;
    }
    if (!std::strcmp(name, "scale")) {
        char* end = nullptr;
        g_options.scale = std::strtod(text, &end);
        return *text && !*end && g_options.scale > 0;
    }
    if (!std::strcmp(name, "sweep")) {
        g_options.sweep = text;
        return g_options.sweep == "sites" || g_options.sweep == "all" ||
               g_options.sweep.find('#') != std::string::npos || (ParseNumber(text, &number) && number > 0);
    }
    return false;
}

}  // namespace

const SoakOptions& Options() { return g_options; }

bool ParseOptions(int argc, char** argv) {
    g_options.seed = std::random_device{}();
    static const char* const kNames[][2] = {{"seed", "QUILLON_SOAK_SEED"},
                                            {"scale", "QUILLON_SOAK_SCALE"},
                                            {"sweep", "QUILLON_SOAK_SWEEP"},
                                            {"jobs", "QUILLON_JOBS"}};
    for (const auto& name : kNames) {
        if (const char* env = std::getenv(name[1]); env && *env && !Apply(name[0], env)) {
            std::fprintf(stderr, "quillon_soak: bad %s=%s\n", name[1], env);
            return false;
        }
    }
    for (int i = 1; i < argc; ++i) {
        bool known = false;
        for (const auto& name : kNames) {
            const std::string flag = std::string("--") + name[0];
            if (const char* value = Value(argv[i], flag.c_str())) {
                if (!Apply(name[0], value)) {
                    std::fprintf(stderr, "quillon_soak: bad option %s\n", argv[i]);
                    return false;
                }
                known = true;
            }
        }
        if (!known) {
            std::fprintf(stderr, "quillon_soak: unknown option %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

std::uint32_t Scaled(std::uint32_t count) {
    const double scaled = std::round(count * g_options.scale);
    return scaled < 1 ? 1 : static_cast<std::uint32_t>(scaled);
}

std::mt19937_64 TestRandom() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::uint64_t hash = 1469598103934665603ull;  // FNV-1a over the test's full name
    for (const char* part : {test ? test->test_suite_name() : "", ".", test ? test->name() : ""})
        for (const char* c = part; *c; ++c) hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    return std::mt19937_64(g_options.seed ^ hash);
}

}  // namespace soak
