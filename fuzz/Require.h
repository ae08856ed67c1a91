#pragma once
// What a fuzz target asserts about the code under test. A broken rule prints why and aborts, which
// libFuzzer reports as a crash and saves the input as a reproducer.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const std::string& why) {
    std::fprintf(stderr, "fuzz target: %s\n", why.c_str());
    std::abort();
}

inline void require(bool holds, const char* rule) {
    if (!holds)
        fail(std::string("broken rule: ") + rule);
}

}  // namespace fuzz
