#include "sdk/CVarManagerWrapper.h"

#include <stdexcept>

#include "sdk/HostRuntime.h"

CVarWrapper::CVarWrapper(std::shared_ptr<sdk::CVarRecord> record) : record_(std::move(record)) {}

sdk::CVarRecord& CVarWrapper::record() const {
    if (!record_)
        throw std::runtime_error("null console variable");
    return *record_;
}

std::string CVarWrapper::getStringValue() const {
    return record().get();
}

int CVarWrapper::getIntValue() const {
    try {
        return static_cast<int>(std::stof(record().get()));
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
}

float CVarWrapper::getFloatValue() const {
    try {
        return std::stof(record().get());
    } catch (const std::invalid_argument&) {
        return 0.0f;
    } catch (const std::out_of_range&) {
        return 0.0f;
    }
}

bool CVarWrapper::getBoolValue() const {
    return getIntValue() != 0;
}

void CVarWrapper::setValue(const std::string& value) {
    record().set(value);
}

std::string CVarWrapper::getDescription() const {
    return record().description;
}

CVarManagerWrapper::CVarManagerWrapper(std::shared_ptr<sdk::HostRuntime> rt) : rt_(std::move(rt)) {}
CVarManagerWrapper::~CVarManagerWrapper() = default;

CVarWrapper CVarManagerWrapper::registerCvar(const std::string& name,
                                             const std::string& defaultValue,
                                             const std::string& description, bool /*searchable*/,
                                             bool /*hasMin*/, float /*min*/, bool /*hasMax*/,
                                             float /*max*/, bool saveToCfg) {
    rt_->requireGameThread("CVarManagerWrapper::registerCvar");
    return CVarWrapper(rt_->registerCvar(name, defaultValue, description, saveToCfg));
}

void CVarManagerWrapper::registerNotifier(const std::string& name,
                                          std::function<void(std::vector<std::string>)> callback,
                                          const std::string& description,
                                          unsigned char /*permissions*/) {
    rt_->requireGameThread("CVarManagerWrapper::registerNotifier");
    rt_->registerNotifier(name, std::move(callback), description);
}

void CVarManagerWrapper::executeCommand(const std::string& command, bool log) {
    rt_->requireGameThread("CVarManagerWrapper::executeCommand");
    rt_->executeCommand(command, log);
}

CVarWrapper CVarManagerWrapper::getCvar(const std::string& name) {
    rt_->noteCvarLookup(name);
    return CVarWrapper(rt_->findCvar(name));
}

void CVarManagerWrapper::log(const std::string& text) {
    rt_->log(text);
}
