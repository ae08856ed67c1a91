#include "net/Dispatcher.h"

#include "core/Guard.h"

namespace brevant {

void dispatchMessage(const std::string& text, std::span<const MessageRoute> routes) {
    runGuarded("dispatch", [&] {
        const json msg = json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!msg.is_object())
            return;  // not JSON at all (discarded), or not an object
        const std::string type = stringField(msg, "t", "");
        for (const auto& route : routes) {
            if (route.type == type) {
                route.handle(msg);
                return;
            }
        }
    });
}

}  // namespace brevant
