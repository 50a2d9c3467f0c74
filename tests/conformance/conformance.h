// The conformance suite's assertion layer: the same test bodies run on the simulated machine (GoogleTest,
// one fresh machine per test) and, cross-built, as a Windows program under Wine or on Windows (a minimal
// runner that prints "N passed, N failed").
//
// A test body includes this header and platform/win32.h only, and calls nothing but Win32. Where Wine
// departs from Microsoft's documentation, the documentation decides: the test checks the documented
// behaviour and marks the check with CONFORMANCE_DOCUMENTED, which under Wine reports the difference
// instead of failing.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <type_traits>

namespace conformance {

// The suite's own program doubles as a service for the service-manager tests: started by the manager
// with the command line ServiceCommandLine() gives, it runs the entry registered here instead of the
// tests (a Windows build through its "--service" argument; on the simulated machine as a program the
// fixture puts on the machine's disk).
using ProgramEntry = int (*)();
struct ServiceProgram {
    explicit ServiceProgram(ProgramEntry entry);
};
ProgramEntry RegisteredServiceProgram();
// The command line that starts this program as that service, quoted path and all.
void ServiceCommandLine(WCHAR* out, int chars);

}  // namespace conformance

#if defined(_WIN32)

namespace conformance {

using TestBody = void (*)();
struct Registrar {
    Registrar(const char* suite, const char* name, TestBody body);
};
// Records a failed check of the running test.
void Fail(const char* file, int line, const char* expression, const char* detail);
void Note(const char* file, int line, const char* text);
bool UnderWine();
void Describe(char* out, std::size_t size, std::uint64_t a, std::uint64_t b);

template <class T>
std::uint64_t AsNumber(const T& value) {
    if constexpr (std::is_same_v<T, std::nullptr_t>)
        return 0;
    else if constexpr (std::is_pointer_v<T>)
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(value));
    else if constexpr (std::is_enum_v<T>)
        return static_cast<std::uint64_t>(static_cast<std::underlying_type_t<T>>(value));
    else
        return static_cast<std::uint64_t>(value);
}

template <class A, class B>
bool Equal(const A& a, const B& b) {
    if constexpr (std::is_pointer_v<A> || std::is_pointer_v<B> || std::is_same_v<A, std::nullptr_t> ||
                  std::is_same_v<B, std::nullptr_t>)
        return a == b;
    else
        return AsNumber(a) == AsNumber(b);
}

}  // namespace conformance

#define CONFORMANCE_TEST(suite, name)                                                                    \
    static void Conformance_##suite##_##name();                                                          \
    static const ::conformance::Registrar conformanceRegistrar_##suite##_##name(#suite, #name,           \
                                                                               Conformance_##suite##_##name); \
    static void Conformance_##suite##_##name()

#define CHECK(condition)                                                                \
    do {                                                                                \
        if (!(condition)) ::conformance::Fail(__FILE__, __LINE__, #condition, nullptr); \
    } while (0)

#define CHECK_EQ(a, b)                                                                                   \
    do {                                                                                                 \
        const auto& conformanceA_ = (a);                                                                 \
        const auto& conformanceB_ = (b);                                                                 \
        if (!::conformance::Equal(conformanceA_, conformanceB_)) {                                       \
            char conformanceText_[96];                                                                   \
            ::conformance::Describe(conformanceText_, sizeof conformanceText_,                           \
                                    ::conformance::AsNumber(conformanceA_), ::conformance::AsNumber(conformanceB_)); \
            ::conformance::Fail(__FILE__, __LINE__, #a " == " #b, conformanceText_);                     \
        }                                                                                                \
    } while (0)

#define CHECK_NE(a, b)                                                                   \
    do {                                                                                 \
        if (::conformance::Equal((a), (b))) ::conformance::Fail(__FILE__, __LINE__, #a " != " #b, nullptr); \
    } while (0)

// A check of documented behaviour that Wine is known not to follow: under Wine a mismatch is reported
// as a note (with `why`), elsewhere it fails like CHECK.
#define CONFORMANCE_DOCUMENTED(condition, why)                                        \
    do {                                                                              \
        if (!(condition)) {                                                           \
            if (::conformance::UnderWine())                                           \
                ::conformance::Note(__FILE__, __LINE__, "Wine differs from the documentation: " why); \
            else                                                                      \
                ::conformance::Fail(__FILE__, __LINE__, #condition, why);             \
        }                                                                             \
    } while (0)

#define CONFORMANCE_UNDER_WINE() (::conformance::UnderWine())
#define CONFORMANCE_SKIP(why)                                   \
    do {                                                        \
        ::conformance::Note(__FILE__, __LINE__, "skipped: " why); \
        return;                                                 \
    } while (0)

#else  // the simulated machine

#include <gtest/gtest.h>

#include <memory>

namespace conformance {

// One simulated machine per test, installed before the body runs and destroyed after it.
class Fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    std::shared_ptr<void> machine_;
};

}  // namespace conformance

#define CONFORMANCE_TEST(suite, name)                    \
    using Conformance##suite = ::conformance::Fixture;   \
    TEST_F(Conformance##suite, name)

#define CHECK(condition) EXPECT_TRUE(condition)
#define CHECK_EQ(a, b) EXPECT_EQ(a, b)
#define CHECK_NE(a, b) EXPECT_NE(a, b)
#define CONFORMANCE_DOCUMENTED(condition, why) EXPECT_TRUE(condition) << why
#define CONFORMANCE_UNDER_WINE() false
#define CONFORMANCE_SKIP(why) GTEST_SKIP() << why

#endif
