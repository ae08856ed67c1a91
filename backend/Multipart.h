#pragma once
// multipart/form-data (RFC 7578 over RFC 2046): the boundary from a Content-Type value, and a
// whole body split into its parts. The parser works on a complete body held in memory; the
// parts it returns point into that body.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::backend::multipart {

// Why a body was refused: a malformed request (400) or a part over its size limit (413).
enum class Failure { None, Malformed, TooLarge };

struct Part {
    std::string name;                     // the name parameter of Content-Disposition
    std::optional<std::string> fileName;  // its filename parameter, as sent
    std::string contentType;              // empty when the part has none
    std::string_view data;                // the part's bytes, inside the parsed body
};

struct Limits {
    std::size_t maxParts = 16;
    std::size_t maxHeaderBytes = 8 * 1024;  // one part's header block
    std::size_t maxFieldBytes = 64 * 1024;  // a part without a file name
    std::size_t maxFileBytes = 64 * 1024 * 1024;
};

struct Result {
    Failure failure = Failure::None;
    std::string error;  // a short English sentence when failure is not None
    std::vector<Part> parts;

    bool ok() const { return failure == Failure::None; }
};

// The boundary of a "multipart/form-data; boundary=..." value (the parameter may be quoted).
// Nullopt with `error` set when the type is another one or the boundary is missing or invalid.
std::optional<std::string> boundaryOf(std::string_view contentType, std::string& error);

// Splits `body` at "--boundary" delimiter lines. A preamble before the first delimiter and an
// epilogue after the closing one are ignored. The parts keep their order.
Result parse(std::string_view body, std::string_view boundary, const Limits& limits = {});

}  // namespace brevant::backend::multipart
