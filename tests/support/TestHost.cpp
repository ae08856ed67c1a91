#include "tests/support/TestHost.h"

#include "net/BackendEndpoint.h"

namespace testing_support {
namespace {

// Port 1 on the loopback address: nothing listens there, so a connection is refused at once.
void pointBackendAtClosedPort() {
    brevant::setBackendEndpointForTests({L"127.0.0.1", 1, 1, 1, 1});
}

}  // namespace

TestHost::TestHost() {
    pointBackendAtClosedPort();
}

TestHost::TestHost(std::filesystem::path dataFolder) : CoreHost(std::move(dataFolder)) {
    pointBackendAtClosedPort();
}

TestHost::~TestHost() {
    if (loaded_)
        unload();
    shutDown();
}

void TestHost::load() {
    if (plugin_) {
        rt().forgetPluginCallbacks();
        plugin_.reset();
    }
    plugin_ = std::make_shared<brevant::Brevant>();
    plugin_->cvarManager = rt().makeCvarManager();
    plugin_->gameWrapper = rt().makeGameWrapper();
    rt().registerWindow(plugin_.get());
    rt().registerSettingsWindow(plugin_.get());
    plugin_->onLoad();
    loaded_ = true;
}

void TestHost::unload() {
    plugin_->onUnload();
    loaded_ = false;
}

}  // namespace testing_support
