#pragma once
// The backend's message catalogue: which feature handles each message type.
#include <span>

#include "net/Dispatcher.h"

namespace brevant {

// The routes in matching order.
std::span<const MessageRoute> messageRoutes();

}  // namespace brevant
