#pragma once
// Naming the calling thread, so that a debugger or `top -H` shows which of ours it is.

namespace platform {

// Sets the calling thread's name; long names are cut to what the system keeps. Never fails
// loudly: a system that refuses leaves the name as it was.
void setCurrentThreadName(const char* name);

}  // namespace platform
