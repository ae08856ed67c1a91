#include "host/HostWindow.h"

#define GLFW_INCLUDE_NONE
#include <GL/gl.h>
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>
#include <stb_image_write.h>

#include <vector>

namespace host {
namespace {

// The keys a player uses to open the host's menus; each runs as "press KEY" on the game thread,
// which runs what is bound to it (F2 opens the settings menu, as in the game).
const char* keyName(int key) {
    switch (key) {
        case GLFW_KEY_F1:
            return "F1";
        case GLFW_KEY_F2:
            return "F2";
        case GLFW_KEY_F3:
            return "F3";
        case GLFW_KEY_F4:
            return "F4";
        case GLFW_KEY_F5:
            return "F5";
        case GLFW_KEY_F6:
            return "F6";
        case GLFW_KEY_F7:
            return "F7";
        case GLFW_KEY_F8:
            return "F8";
        case GLFW_KEY_F9:
            return "F9";
        case GLFW_KEY_F10:
            return "F10";
        case GLFW_KEY_F11:
            return "F11";
        case GLFW_KEY_F12:
            return "F12";
        default:
            return nullptr;
    }
}

void onKey(GLFWwindow* window, int key, int, int action, int) {
    const char* name = keyName(key);
    if (action != GLFW_PRESS || !name)
        return;
    auto* rt = static_cast<sdk::HostRuntime*>(glfwGetWindowUserPointer(window));
    const std::string line =
        key == GLFW_KEY_F2 ? std::string("togglemenu settings") : std::string("press ") + name;
    rt->post([rt, line] { rt->executeCommand(line, false); });
}

}  // namespace

std::unique_ptr<HostWindow> HostWindow::open(std::shared_ptr<sdk::HostRuntime> rt,
                                             std::string& error) {
    if (!glfwInit()) {
        error = "no display (GLFW could not start)";
        return nullptr;
    }
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
    GLFWwindow* window = glfwCreateWindow(1280, 720, "Brevant host", nullptr, nullptr);
    if (!window) {
        glfwTerminate();
        error = "no OpenGL 3 window could be created";
        return nullptr;
    }
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);

    auto self = std::unique_ptr<HostWindow>(new HostWindow);
    self->rt_ = std::move(rt);
    self->window_ = window;
    glfwSetWindowUserPointer(window, self->rt_.get());
    glfwSetKeyCallback(window, onKey);  // before ImGui's, which calls it in turn

    // This program's copy of ImGui works on the host's context, which the game thread makes.
    std::uintptr_t context = 0;
    self->rt_->runOnGameThread([&] { context = self->rt_->imguiContext(); });
    ImGui::SetCurrentContext(reinterpret_cast<ImGuiContext*>(context));
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    ImGui_ImplOpenGL3_Init("#version 130");
    self->lastTime_ = glfwGetTime();
    return self;
}

HostWindow::~HostWindow() {
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    glfwDestroyWindow(window_);
    glfwTerminate();
}

bool HostWindow::frame() {
    glfwPollEvents();
    if (glfwWindowShouldClose(window_))
        return false;
    // A screenshot asked for by now is of this frame, whose drawing has not begun: it shows the
    // state as it was when it was asked for, or newer.
    std::filesystem::path file;
    {
        std::lock_guard lk(mutex_);
        if (!pending_.empty() && framesToWait_-- <= 0)
            file.swap(pending_);
    }
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    const double now = glfwGetTime();
    const float delta = static_cast<float>(now - lastTime_);
    lastTime_ = now;

    ImDrawData* data = nullptr;
    rt_->runOnGameThread([&] { data = rt_->drawFrame(delta); });

    int width = 0;
    int height = 0;
    glfwGetFramebufferSize(window_, &width, &height);
    glViewport(0, 0, width, height);
    glClearColor(0.10f, 0.11f, 0.13f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    if (data)
        ImGui_ImplOpenGL3_RenderDrawData(data);

    if (!file.empty())
        saveScreenshot(file);
    glfwSwapBuffers(window_);
    return true;
}

void HostWindow::requestScreenshotAfter(int frames, std::filesystem::path file) {
    std::lock_guard lk(mutex_);
    pending_ = std::move(file);
    framesToWait_ = frames;
}

std::string HostWindow::takeScreenshotNote() {
    std::lock_guard lk(mutex_);
    std::string note;
    note.swap(note_);
    return note;
}

void HostWindow::saveScreenshot(const std::filesystem::path& file) {
    int width = 0;
    int height = 0;
    glfwGetFramebufferSize(window_, &width, &height);
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    // OpenGL's rows go bottom up, a PNG's top down.
    stbi_flip_vertically_on_write(1);
    const bool ok =
        width > 0 && height > 0 &&
        stbi_write_png(file.string().c_str(), width, height, 4, pixels.data(), width * 4) != 0;
    std::lock_guard lk(mutex_);
    note_ = ok ? "brevant-host: screenshot saved " + file.string() + " (" + std::to_string(width) +
                     "x" + std::to_string(height) + ")"
               : "brevant-host: screenshot failed " + file.string();
}

}  // namespace host
