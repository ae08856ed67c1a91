// The host program without a window: open() always answers that there is none, and the program
// goes on headless.
#include "host/HostWindow.h"

namespace host {

std::unique_ptr<HostWindow> HostWindow::open(std::shared_ptr<sdk::HostRuntime>,
                                             std::string& error) {
    error = "this build has no window";
    return nullptr;
}

HostWindow::~HostWindow() = default;

bool HostWindow::frame() {
    return false;
}

void HostWindow::requestScreenshotAfter(int, std::filesystem::path) {}

std::string HostWindow::takeScreenshotNote() {
    return {};
}

void HostWindow::saveScreenshot(const std::filesystem::path&) {}

}  // namespace host
