#pragma once
// Tells a line that says again what its source said last, so that it is shown once: the demo's
// timeline folds each client's repeated game notes (the rotation's watchdog puts the same map
// into the match every few seconds). Not locked: its user serialises the calls.
#include <cstddef>
#include <string>
#include <vector>

namespace host {

class RepeatFolder {
public:
    // True when `text` equals the last text of `source`. Otherwise `text` becomes the last one,
    // and `folded` (when given) is set to how many repeats of the previous one were left out.
    bool repeats(const std::string& source, const std::string& text, std::size_t* folded = nullptr);

private:
    struct Last {
        std::string source;
        std::string text;
        std::size_t repeats = 0;
    };
    std::vector<Last> last_;  // one per source, few of them
};

}  // namespace host
