#include "net/BackendEndpoint.h"

#include "platform/Text.h"

namespace brevant {
namespace {

BackendEndpoint builtIn() {
    return BackendEndpoint{platform::utf8ToWide(BREVANT_BACKEND_HOST), BREVANT_WS_PORT,
                           BREVANT_PAIR_PORT, BREVANT_RANK_PORT, BREVANT_UPLOAD_PORT};
}

BackendEndpoint& current() {
    static BackendEndpoint endpoint = builtIn();
    return endpoint;
}

}  // namespace

const BackendEndpoint& backendEndpoint() {
    return current();
}
void setBackendEndpointForTests(const BackendEndpoint& endpoint) {
    current() = endpoint;
}

}  // namespace brevant
