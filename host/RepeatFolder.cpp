#include "host/RepeatFolder.h"

#include <algorithm>

namespace host {

bool RepeatFolder::repeats(const std::string& source, const std::string& text,
                           std::size_t* folded) {
    auto it = std::find_if(last_.begin(), last_.end(),
                           [&](const Last& last) { return last.source == source; });
    if (it == last_.end()) {
        last_.push_back({source, text, 0});
        if (folded)
            *folded = 0;
        return false;
    }
    if (it->text == text) {
        ++it->repeats;
        return true;
    }
    if (folded)
        *folded = it->repeats;
    it->text = text;
    it->repeats = 0;
    return false;
}

}  // namespace host
