#include "net/Dispatcher.h"

#include "core/Guard.h"

namespace brevant {

void dispatchMessage(std::string_view text, std::span<const MessageRoute> routes) {
    runGuarded("dispatch", [&] {
        const json msg = json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!msg.is_object())
            return;  // not JSON at all (discarded), or not an object
        const auto type = msg.find("t");
        if (type == msg.end())
            return;
        if (!type->is_string())
            throw FieldTypeError("field 't' has the wrong type");
        const auto& name = type->get_ref<const std::string&>();
        for (const auto& route : routes) {
            if (route.type == name) {
                route.handle(msg);
                return;
            }
        }
    });
}

}  // namespace brevant
