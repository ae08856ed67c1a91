#pragma once
// multipart/form-data (RFC 7578 over RFC 2046): the boundary from a Content-Type value, a body
// read piece by piece as it arrives (Reader), and a whole body split into its parts (parse).
#include <cstddef>
#include <cstdint>
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

// What a Reader reports while a body goes by. Returning false stops the reading.
class Handler {
public:
    virtual ~Handler() = default;
    // A part's headers were read (its data is empty here); its data follows.
    virtual bool onPart(const Part& part) = 0;
    // The next bytes of the current part's data; `offset` is where they start in the body.
    virtual bool onData(std::string_view bytes, std::uint64_t offset) = 0;
};

// Splits a body at "--boundary" delimiter lines as it arrives. It holds back only what may be
// the start of a delimiter or a part's unfinished headers (at most Limits::maxHeaderBytes and
// a little more), so a body of any size passes through in small pieces. A preamble before the
// first delimiter and an epilogue after the closing one are ignored.
class Reader {
public:
    Reader(std::string_view boundary, const Limits& limits, Handler& handler);
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Takes the next bytes of the body. False once the body was refused (see failure()) or
    // the handler stopped the reading (failure() is None then); later calls do nothing.
    bool write(std::string_view bytes);
    // At the end of the body: false unless the closing delimiter came.
    bool finish();

    Failure failure() const { return failure_; }
    const std::string& error() const { return error_; }

private:
    enum class State { Preamble, Headers, Data, Epilogue, Failed };

    bool seekDelimiter(std::size_t& pos);
    bool readHeaders(std::size_t& pos);
    bool emit(std::size_t from, std::size_t to);
    bool fail(Failure failure, std::string error);
    bool stop();

    const std::string crlfDash_;  // "\r\n--boundary"
    const Limits limits_;
    Handler& handler_;
    State state_ = State::Preamble;
    // Bytes not consumed yet. It starts with the CRLF that a delimiter at the very start of the
    // body lacks, so that every delimiter is found the same way; hence the offset of -2.
    std::string pending_ = "\r\n";
    std::int64_t pendingAt_ = -2;  // where pending_ starts in the body
    std::size_t parts_ = 0;
    std::string partName_;
    std::uint64_t partLimit_ = 0;
    std::uint64_t partBytes_ = 0;
    Failure failure_ = Failure::None;
    std::string error_;
};

// Splits `body` at "--boundary" delimiter lines. A preamble before the first delimiter and an
// epilogue after the closing one are ignored. The parts keep their order, and their data points
// into `body`.
Result parse(std::string_view body, std::string_view boundary, const Limits& limits = {});

}  // namespace brevant::backend::multipart
