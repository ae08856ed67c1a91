#pragma once
// A temporary folder for a fuzz target's files: made on first use, removed with what it holds
// when the fuzzer exits normally (the end of -max_total_time or -runs).
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz/Require.h"

namespace fuzz {

struct ScratchFolder {
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "brevant-fuzz-XXXXXX");
        if (!mkdtemp(pattern.data()))
            fail("cannot make a temporary folder");
        path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::filesystem::path path;
};

inline const std::filesystem::path& scratchFolder() {
    static ScratchFolder folder;
    return folder.path;
}

}  // namespace fuzz
