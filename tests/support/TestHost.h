#pragma once
// The stand-in host on a manual clock with the plugin linked in (see CoreHost for the clock,
// the checks at the end and the helpers).
#include <filesystem>
#include <memory>

#include "plugin/Brevant.h"
#include "tests/support/CoreHost.h"

namespace testing_support {

class TestHost : public CoreHost {
public:
    // The backend endpoint points at a closed port on 127.0.0.1 until a test points it
    // elsewhere.
    TestHost();
    explicit TestHost(std::filesystem::path dataFolder);
    ~TestHost() override;

    brevant::Brevant& plugin() { return *plugin_; }

    // Creates the plugin, hands it the host's handles and calls onLoad. A second load drops
    // what the first plugin left with the host, as closing its module would.
    void load();
    // onUnload. The plugin object lives on until the host goes, as it does in the real host
    // until its module is closed.
    void unload();

private:
    std::shared_ptr<brevant::Brevant> plugin_;
    bool loaded_ = false;
};

}  // namespace testing_support
