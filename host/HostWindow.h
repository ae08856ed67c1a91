#pragma once
// The host program's window on a desktop: the host's frames rendered with OpenGL through GLFW,
// mouse and keyboard forwarded to ImGui, and frames saved as PNG on request. GLFW wants its
// window and its events on the process's main thread; the frames themselves are built on the
// game thread, while the main thread waits.
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/HostRuntime.h"

struct GLFWwindow;

namespace host {

class HostWindow {
public:
    // Opens the window; nothing (with the reason) when there is no display or no OpenGL.
    static std::unique_ptr<HostWindow> open(std::shared_ptr<sdk::HostRuntime> rt,
                                            std::string& error);
    ~HostWindow();

    // One frame: events, the host's frame, rendering, a pending screenshot. False once the
    // window was closed. Main thread.
    bool frame();
    // Saves a rendered frame as a PNG: the one `frames` frames from now (0: the next frame to
    // begin, so that what it shows was drawn after the request). Any thread; takeScreenshotNote
    // tells the outcome.
    void requestScreenshotAfter(int frames, std::filesystem::path file);
    // The line saying what became of the last screenshot, once (empty when nothing new).
    std::string takeScreenshotNote();

private:
    HostWindow() = default;
    void saveScreenshot(const std::filesystem::path& file);

    std::shared_ptr<sdk::HostRuntime> rt_;
    GLFWwindow* window_ = nullptr;
    double lastTime_ = 0;
    std::mutex mutex_;
    std::filesystem::path pending_;
    int framesToWait_ = 0;
    std::string note_;
};

}  // namespace host
