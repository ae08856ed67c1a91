#pragma once
// Loading and closing a shared module, for the host program.
#include <filesystem>
#include <string>

namespace platform {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    ~DynamicLibrary();  // closes the module when still open

    // Opens the module; on failure returns false and fills error.
    bool open(const std::filesystem::path& path, std::string& error);
    // Address of an exported symbol, or nullptr.
    void* symbol(const char* name) const;
    bool isOpen() const { return handle_ != nullptr; }
    // Closes the module.
    void close();
    // Forgets the module without closing it: its code stays mapped for the rest of the process.
    void leak() { handle_ = nullptr; }

    // Whether a module with this path is mapped in the process right now.
    static bool isLoaded(const std::filesystem::path& path);

private:
    void* handle_ = nullptr;
};

}  // namespace platform
