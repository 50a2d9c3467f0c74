// The conformance suite as a Windows console program: runs every registered test in order (or those
// whose "Suite.Name" contains the first argument) and ends with "N passed, N failed".
#include "tests/conformance/conformance.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace conformance {
namespace {

struct Case {
    const char* suite;
    const char* name;
    TestBody body;
};

std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}

int g_failures = 0;

}  // namespace

Registrar::Registrar(const char* suite, const char* name, TestBody body) { Cases().push_back({suite, name, body}); }

void Fail(const char* file, int line, const char* expression, const char* detail) {
    ++g_failures;
    std::printf("  %s:%d: check failed: %s%s%s\n", file, line, expression, detail ? " -- " : "", detail ? detail : "");
}

void Note(const char* file, int line, const char* text) { std::printf("  %s:%d: note: %s\n", file, line, text); }

void Describe(char* out, std::size_t size, std::uint64_t a, std::uint64_t b) {
    std::snprintf(out, size, "0x%llx vs 0x%llx", static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
}

bool UnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

void ServiceCommandLine(WCHAR* out, int chars) {
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::swprintf(out, static_cast<std::size_t>(chars), L"\"%ls\" --service", path);
}

}  // namespace conformance

int main(int argc, char** argv) {
    using namespace conformance;
    if (argc > 1 && std::strcmp(argv[1], "--service") == 0)
        return RegisteredServiceProgram() ? RegisteredServiceProgram()() : 1;
    const char* filter = argc > 1 ? argv[1] : nullptr;
    int passed = 0, failed = 0;
    for (const Case& c : Cases()) {
        char full[256];
        std::snprintf(full, sizeof full, "%s.%s", c.suite, c.name);
        if (filter && !std::strstr(full, filter)) continue;
        g_failures = 0;
        std::fflush(stdout);
        c.body();
        if (g_failures == 0) {
            ++passed;
            std::printf("PASS  %s\n", full);
        } else {
            ++failed;
            std::printf("FAIL  %s\n", full);
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
