#include "platform/ModuleThread.h"

namespace platform {

void runHoldingModule(std::function<void()> body) {
    body();
}

}  // namespace platform
