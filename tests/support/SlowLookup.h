#pragma once
// A name server that is slow for some names, standing in for glibc's asynchronous lookup
// (getaddrinfo_a and its companions, replaced in the program that links SlowLookup.cpp: the
// tests, the benchmarks); every other name goes to the system's. POSIX only: on Windows WinHTTP
// resolves names itself.
#ifndef _WIN32
#include <chrono>

#include "platform/Sanitizers.h"

namespace slow_lookup {
// Under ThreadSanitizer the lookup does not use getaddrinfo_a (see platform/HostLookup.h), so
// this name server is not asked: the tests that need it skip.
#if defined(BREVANT_UNDER_TSAN)
constexpr bool kBypassed = true;
#else
constexpr bool kBypassed = false;
#endif
constexpr const char* kBypassedWhy = "under ThreadSanitizer the lookup is a plain getaddrinfo";

// Never answers: a dead name server. The lookup ends only when it is cancelled.
constexpr const char* kName = "slow-lookup.brevant.test";
// "slow-<ms>.brevant.test" answers 127.0.0.1 after <ms> milliseconds: a slow name server that
// does answer in the end.
constexpr const char* kSlowLoopback = "slow-700.brevant.test";
constexpr auto kSlowAnswer = std::chrono::milliseconds(700);

// Waits until `count` lookups of kName have begun in all; false after `timeout`.
bool waitForLookups(int count, std::chrono::milliseconds timeout);
// Lookups of kName begun and cancelled so far.
int begun();
int cancelled();
}  // namespace slow_lookup
#endif
