// Saves the rotation file over and over, one line on standard output after each save, until
// it is killed. A large rotation makes each save take a while, so a kill lands inside one.
#include <unistd.h>

#include <string>

#include "core/FileWriter.h"
#include "rotation/HostingState.h"
#include "rotation/RotationFile.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    {
        std::lock_guard lk(brevant::hostingMutex);
        brevant::rotationState.file = argv[1];
        brevant::rotationState.rotation.assign(10000, std::string(100, 'm'));
    }
    for (unsigned rev = 1;; ++rev) {
        brevant::rotationState.rev = rev;
        brevant::saveRotationState();
        if (!brevant::waitForFileWrites(std::chrono::seconds(60)))
            return 1;
        if (::write(STDOUT_FILENO, "saved\n", 6) != 6)
            return 1;
    }
}
