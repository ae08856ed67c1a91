#include "net/Dispatcher.h"

#include "core/Guard.h"

namespace brevant {

RouteOutcome dispatchMessage(std::string_view text, std::span<const MessageRoute> routes) {
    // Stays Malformed when what follows throws.
    RouteOutcome outcome{RouteOutcome::Kind::Malformed, {}};
    constexpr RouteOutcome notRouted{RouteOutcome::Kind::NotRouted, {}};
    runGuarded("dispatch", [&] {
        const json msg = json::parse(text, nullptr, /*allow_exceptions=*/false);
        outcome = notRouted;
        if (!msg.is_object())
            return;  // not JSON at all (discarded), or not an object
        const auto type = msg.find("t");
        if (type == msg.end())
            return;
        outcome = {RouteOutcome::Kind::Malformed, {}};
        if (!type->is_string())
            throw FieldTypeError("field 't' has the wrong type");
        const auto& name = type->get_ref<const std::string&>();
        for (const auto& route : routes) {
            if (route.type == name) {
                outcome = route.handle(msg);
                return;
            }
        }
        outcome = notRouted;
    });
    return outcome;
}

}  // namespace brevant
