#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sdk/Api.h"

namespace sdk {
struct CVarRecord;
class HostRuntime;
}  // namespace sdk

// A console variable. Reading is safe from any thread.
class SDK_API CVarWrapper {
public:
    CVarWrapper() = default;
    explicit CVarWrapper(std::shared_ptr<sdk::CVarRecord> record);
    bool IsNull() const { return record_ == nullptr; }
    std::string getStringValue() const;
    bool getBoolValue() const;
    int getIntValue() const;
    float getFloatValue() const;
    void setValue(const std::string& value);
    std::string getDescription() const;

private:
    // Throws when the variable is null.
    sdk::CVarRecord& record() const;
    std::shared_ptr<sdk::CVarRecord> record_;
};

class SDK_API CVarManagerWrapper {
public:
    explicit CVarManagerWrapper(std::shared_ptr<sdk::HostRuntime> rt);
    ~CVarManagerWrapper();

    // Game thread.
    CVarWrapper registerCvar(const std::string& name, const std::string& defaultValue,
                             const std::string& description = "", bool searchable = true,
                             bool hasMin = false, float min = 0, bool hasMax = false, float max = 0,
                             bool saveToCfg = true);
    void registerNotifier(const std::string& name,
                          std::function<void(std::vector<std::string>)> callback,
                          const std::string& description, unsigned char permissions);
    void executeCommand(const std::string& command, bool log = true);

    // Any thread.
    CVarWrapper getCvar(const std::string& name);
    void log(const std::string& text);

    sdk::HostRuntime& runtime() const { return *rt_; }

private:
    std::shared_ptr<sdk::HostRuntime> rt_;
};
