#include "plugin/DeviceId.h"

#include <filesystem>
#include <fstream>
#include <random>

#include "net/Json.h"
#include "platform/Random.h"
#include "platform/Text.h"

namespace brevant {

std::string generateDeviceId() {
    // A fresh generator per call, seeded from the OS, so two calls never share a sequence.
    std::mt19937_64 gen(platform::osRandom32());
    static constexpr int groups[] = {8, 4, 4, 4, 12};
    static constexpr char digits[] = "0123456789abcdef";
    std::string id;
    id.reserve(36);
    for (int g = 0; g < 5; ++g) {
        if (g > 0)
            id += '-';
        for (int i = 0; i < groups[g]; ++i)
            id += digits[gen() >> 60];
    }
    return id;
}

namespace {

std::string trimmed(const std::string& s) {
    static constexpr const char* blanks = " \t\r\n\v\f";
    auto first = s.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

}  // namespace

std::string loadOrCreateDeviceId(const std::wstring& dataFolder) {
    try {
        const auto folder = platform::widePath(dataFolder) / "Brevant";
        const auto file = folder / "device_id.txt";

        std::error_code ec;
        std::filesystem::create_directories(folder, ec);  // a failure shows up below

        if (std::filesystem::exists(file, ec)) {
            std::ifstream in(file);
            if (in.is_open()) {
                std::string line;
                std::getline(in, line);
                // One identity everywhere: the query string would carry raw bytes that the
                // JSON messages replace, so bytes that are not UTF-8 are replaced here, once.
                std::string id = validUtf8(trimmed(line));
                if (!id.empty())
                    return id;
            }
        }

        std::string id = generateDeviceId();
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (out.is_open()) {
            out.write(id.data(), static_cast<std::streamsize>(id.size()));
            out.flush();
        }
        return id;
    } catch (...) {
        return generateDeviceId();
    }
}

}  // namespace brevant
