#include "replays/ReplayBody.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/Text.h"

namespace brevant {
namespace {

struct Parts {
    std::string head;
    std::ifstream file;
    std::uint64_t fileLeft = 0;
    std::string tail;
    std::uint64_t sent = 0;  // of head and tail, where each is under way
    int part = 0;            // 0 head, 1 file, 2 tail
};

}  // namespace

std::optional<platform::HttpBodySource> replayBody(const std::wstring& path,
                                                   std::uint64_t fileBytes, std::string head,
                                                   std::string tail) {
    auto parts = std::make_shared<Parts>();
    parts->file.open(platform::widePath(path), std::ios::binary);
    if (!parts->file)
        return std::nullopt;
    parts->head = std::move(head);
    parts->tail = std::move(tail);
    parts->fileLeft = fileBytes;
    platform::HttpBodySource source;
    source.size = parts->head.size() + fileBytes + parts->tail.size();
    source.read = [parts](char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
        Parts& p = *parts;
        const auto copy = [&](const std::string& text) {
            const std::size_t n =
                std::min<std::size_t>(capacity, text.size() - static_cast<std::size_t>(p.sent));
            std::memcpy(buffer, text.data() + p.sent, n);
            p.sent += n;
            if (p.sent == text.size()) {
                p.sent = 0;
                ++p.part;
            }
            return n;
        };
        if (p.part == 0 && !p.head.empty())
            return copy(p.head);
        if (p.part == 0)
            p.part = 1;
        if (p.part == 1 && p.fileLeft > 0) {
            const auto want =
                static_cast<std::streamsize>(std::min<std::uint64_t>(capacity, p.fileLeft));
            p.file.read(buffer, want);
            const auto got = p.file.gcount();
            if (got <= 0)
                return std::nullopt;  // the file ended sooner than it was, or cannot be read
            p.fileLeft -= static_cast<std::uint64_t>(got);
            return static_cast<std::size_t>(got);
        }
        if (p.part == 1)
            p.part = 2;
        if (p.part == 2 && p.sent < p.tail.size())
            return copy(p.tail);
        return std::nullopt;  // asked past the end
    };
    return source;
}

}  // namespace brevant
