#include "backend/Multipart.h"

#include <algorithm>
#include <utility>

#include "backend/Text.h"

namespace brevant::backend::multipart {
namespace {

bool isTokenChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isBoundaryChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

struct Parameter {
    std::string name;  // lower case
    std::string value;
};

// The parameters after a header's first token: `; name=value; name="quoted value"`.
bool parseParameters(std::string_view text, std::vector<Parameter>& out, std::string& error) {
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && isBlank(text[i]))
            ++i;
    };
    for (;;) {
        skipBlanks();
        if (i == text.size())
            return true;
        if (text[i] != ';') {
            error = "expected ';' between header parameters";
            return false;
        }
        ++i;
        skipBlanks();
        if (i == text.size())
            return true;  // a trailing ";" is tolerated
        const std::size_t nameStart = i;
        while (i < text.size() && isTokenChar(text[i]))
            ++i;
        Parameter parameter{lowered(text.substr(nameStart, i - nameStart)), {}};
        skipBlanks();
        if (parameter.name.empty() || i == text.size() || text[i] != '=') {
            error = "malformed header parameter";
            return false;
        }
        ++i;
        skipBlanks();
        if (i < text.size() && text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                const char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\')) {
                    parameter.value += text[i++];
                    continue;
                }
                parameter.value += c;
            }
            if (!closed) {
                error = "unterminated quoted header parameter";
                return false;
            }
        } else {
            const std::size_t valueStart = i;
            while (i < text.size() && text[i] != ';')
                ++i;
            parameter.value = std::string(trimBlanks(text.substr(valueStart, i - valueStart)));
        }
        for (const Parameter& seen : out) {
            if (seen.name == parameter.name) {
                error = "repeated header parameter '" + parameter.name + "'";
                return false;
            }
        }
        out.push_back(std::move(parameter));
    }
}

const std::string* findParameter(const std::vector<Parameter>& parameters, std::string_view name) {
    for (const Parameter& p : parameters) {
        if (p.name == name)
            return &p.value;
    }
    return nullptr;
}

// What follows a "--boundary" found in the body.
enum class Tail {
    Next,        // blanks and CRLF: another part starts at `next`
    Close,       // "--": the closing delimiter
    NotOne,      // other bytes: the text only looks like a delimiter (it is part of the data)
    Incomplete,  // the body ends before the delimiter line does
    TooLong,     // more blanks than a header may hold: refused, whatever follows them
};

// Blanks may follow a delimiter, but not without end. Past `maxBlanks` the line is refused
// before what follows the blanks is known, so that a body read in pieces (which cannot hold
// blanks without end to see what comes next) gets the verdict the whole body gets.
Tail delimiterTail(std::string_view body, std::size_t after, std::size_t maxBlanks,
                   std::size_t& next) {
    if (after < body.size() && body[after] == '-') {
        if (after + 1 == body.size())
            return Tail::Incomplete;
        return body[after + 1] == '-' ? Tail::Close : Tail::NotOne;
    }
    std::size_t j = after;
    while (j < body.size() && isBlank(body[j]))
        ++j;
    if (j - after > maxBlanks)
        return Tail::TooLong;
    if (j == body.size())
        return Tail::Incomplete;
    if (body[j] != '\r')
        return Tail::NotOne;
    if (j + 1 == body.size())
        return Tail::Incomplete;
    if (body[j + 1] != '\n')
        return Tail::NotOne;
    next = j + 2;
    return Tail::Next;
}

// A part's header lines, each ending with CRLF (the empty line after them left out).
bool readPartHeaders(std::string_view block, Part& part, std::string& error);

bool readDisposition(std::string_view value, Part& part, std::string& error) {
    const std::size_t semicolon = value.find(';');
    const std::string_view type = trimBlanks(value.substr(0, semicolon));
    if (!equalsNoCase(type, "form-data")) {
        error = "a part is not form-data";
        return false;
    }
    std::vector<Parameter> parameters;
    if (semicolon != std::string_view::npos &&
        !parseParameters(value.substr(semicolon), parameters, error)) {
        error = "Content-Disposition: " + error;
        return false;
    }
    const std::string* name = findParameter(parameters, "name");
    if (!name || name->empty()) {
        error = "a part has no name";
        return false;
    }
    part.name = *name;
    if (const std::string* fileName = findParameter(parameters, "filename"))
        part.fileName = *fileName;
    return true;
}

bool readPartHeaders(std::string_view block, Part& part, std::string& error) {
    bool disposition = false;
    bool contentType = false;
    while (!block.empty()) {
        const std::size_t eol = block.find("\r\n");
        const std::string_view line = block.substr(0, eol);
        block.remove_prefix(eol + 2);
        if (isBlank(line.front())) {
            error = "folded part header lines are not supported";
            return false;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            error = "malformed part header line";
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (!isTokenChar(c)) {
                error = "malformed part header name";
                return false;
            }
        }
        const std::string_view value = trimBlanks(line.substr(colon + 1));
        if (equalsNoCase(name, "Content-Disposition")) {
            if (disposition) {
                error = "repeated Content-Disposition in a part";
                return false;
            }
            disposition = true;
            if (!readDisposition(value, part, error))
                return false;
        } else if (equalsNoCase(name, "Content-Type")) {
            if (contentType) {
                error = "repeated Content-Type in a part";
                return false;
            }
            contentType = true;
            part.contentType = std::string(value);
        }
    }
    if (!disposition) {
        error = "a part has no Content-Disposition";
        return false;
    }
    return true;
}

// Collects the parts of a body held whole in memory, their data pointing into it.
class Collector final : public Handler {
public:
    explicit Collector(std::string_view body) : body_(body) {}

    bool onPart(const Part& part) override {
        parts_.push_back(part);
        spans_.push_back({std::string_view::npos, 0});
        return true;
    }
    bool onData(std::string_view bytes, std::uint64_t offset) override {
        auto& [start, size] = spans_.back();
        if (start == std::string_view::npos)
            start = static_cast<std::size_t>(offset);
        size += bytes.size();
        return true;
    }

    std::vector<Part> parts() {
        for (std::size_t i = 0; i < parts_.size(); ++i) {
            const auto [start, size] = spans_[i];
            if (start != std::string_view::npos)
                parts_[i].data = body_.substr(start, size);
        }
        return std::move(parts_);
    }

private:
    std::string_view body_;
    std::vector<Part> parts_;
    std::vector<std::pair<std::size_t, std::size_t>> spans_;  // where each part's data is
};

}  // namespace

std::optional<std::string> boundaryOf(std::string_view contentType, std::string& error) {
    const std::size_t semicolon = contentType.find(';');
    if (!equalsNoCase(trimBlanks(contentType.substr(0, semicolon)), "multipart/form-data")) {
        error = "Content-Type is not multipart/form-data";
        return std::nullopt;
    }
    std::vector<Parameter> parameters;
    if (semicolon != std::string_view::npos &&
        !parseParameters(contentType.substr(semicolon), parameters, error)) {
        error = "Content-Type: " + error;
        return std::nullopt;
    }
    const std::string* boundary = findParameter(parameters, "boundary");
    if (!boundary || boundary->empty()) {
        error = "Content-Type has no boundary";
        return std::nullopt;
    }
    if (boundary->size() > 70 || boundary->back() == ' ') {
        error = "invalid multipart boundary";
        return std::nullopt;
    }
    for (char c : *boundary) {
        if (!isBoundaryChar(c)) {
            error = "invalid multipart boundary";
            return std::nullopt;
        }
    }
    return *boundary;
}

Reader::Reader(std::string_view boundary, const Limits& limits, Handler& handler)
    : crlfDash_("\r\n--" + std::string(boundary)), limits_(limits), handler_(handler) {}

bool Reader::write(std::string_view bytes) {
    if (state_ == State::Failed)
        return false;
    if (state_ == State::Epilogue)
        return true;
    pending_.append(bytes);
    std::size_t pos = 0;
    for (bool progress = true; progress;) {
        if (state_ == State::Headers)
            progress = readHeaders(pos);
        else if (state_ == State::Preamble || state_ == State::Data)
            progress = seekDelimiter(pos);
        else
            progress = false;
    }
    if (state_ == State::Epilogue)
        pos = pending_.size();
    pending_.erase(0, pos);
    pendingAt_ += static_cast<std::int64_t>(pos);
    return state_ != State::Failed;
}

bool Reader::finish() {
    switch (state_) {
        case State::Preamble:
            return fail(Failure::Malformed, "the body does not contain the boundary");
        case State::Headers:
            return fail(Failure::Malformed,
                        "the body ends inside the part headers (truncated body?)");
        case State::Data:
            return fail(Failure::Malformed, "part '" + escaped(partName_, 40) +
                                                "' is not closed by the boundary "
                                                "(truncated body?)");
        case State::Epilogue:
            return true;
        case State::Failed:
            break;
    }
    return false;
}

bool Reader::fail(Failure failure, std::string error) {
    state_ = State::Failed;
    failure_ = failure;
    error_ = std::move(error);
    pending_.clear();
    return false;
}

bool Reader::seekDelimiter(std::size_t& pos) {
    for (std::size_t from = pos;;) {
        const std::size_t at = pending_.find(crlfDash_, from);
        if (at == std::string::npos) {
            // All but what may be the start of a delimiter is data.
            const std::size_t held = std::min(pending_.size() - pos, crlfDash_.size() - 1);
            emit(pos, pending_.size() - held);
            pos = pending_.size() - held;
            return false;
        }
        std::size_t next = 0;
        const Tail tail =
            delimiterTail(pending_, at + crlfDash_.size(), limits_.maxHeaderBytes, next);
        if (tail == Tail::NotOne) {
            from = at + 1;
            continue;
        }
        if (!emit(pos, at))
            return false;
        pos = at;
        if (tail == Tail::TooLong)
            return fail(Failure::Malformed, "a delimiter line is too long");
        if (tail == Tail::Incomplete)
            return false;
        pos = tail == Tail::Close ? pending_.size() : next;
        state_ = tail == Tail::Close ? State::Epilogue : State::Headers;
        return true;
    }
}

bool Reader::emit(std::size_t from, std::size_t to) {
    if (state_ != State::Data || to <= from)
        return true;
    partBytes_ += to - from;
    if (partBytes_ > partLimit_)
        return fail(Failure::TooLarge, "part '" + escaped(partName_, 40) + "' is larger than " +
                                           std::to_string(partLimit_) + " bytes");
    const auto offset = static_cast<std::uint64_t>(pendingAt_ + static_cast<std::int64_t>(from));
    if (!handler_.onData(std::string_view(pending_).substr(from, to - from), offset))
        return stop();
    return true;
}

bool Reader::readHeaders(std::size_t& pos) {
    if (parts_ == limits_.maxParts)
        return fail(Failure::Malformed, "more than " + std::to_string(limits_.maxParts) + " parts");
    // The header lines end at the first empty line: at once, or after a line's CRLF.
    if (pending_.size() - pos < 2)
        return false;
    std::size_t end = pos;
    bool complete = true;
    if (pending_.compare(pos, 2, "\r\n") != 0) {
        const std::size_t blank = pending_.find("\r\n\r\n", pos);
        complete = blank != std::string::npos;
        end = complete ? blank + 2 : pending_.size();
    }
    // The limit is on the header lines, their CRLFs included, never on the empty line after
    // them: when the body was cut inside that line, its first byte is not counted either, so
    // that how the bytes arrive changes nothing.
    std::size_t headerBytes = end - pos;
    if (!complete && headerBytes >= 3 && pending_.compare(end - 3, 3, "\r\n\r") == 0)
        --headerBytes;
    if (headerBytes > limits_.maxHeaderBytes)
        return fail(Failure::Malformed, "part headers longer than " +
                                            std::to_string(limits_.maxHeaderBytes) + " bytes");
    if (!complete)
        return false;
    Part part;
    std::string error;
    if (!readPartHeaders(std::string_view(pending_).substr(pos, end - pos), part, error))
        return fail(Failure::Malformed, std::move(error));
    ++parts_;
    partName_ = part.name;
    partLimit_ = part.fileName ? limits_.maxFileBytes : limits_.maxFieldBytes;
    partBytes_ = 0;
    pos = end + 2;
    state_ = State::Data;
    return handler_.onPart(part) || stop();
}

bool Reader::stop() {
    state_ = State::Failed;
    pending_.clear();
    return false;
}

Result parse(std::string_view body, std::string_view boundary, const Limits& limits) {
    Result result;
    if (boundary.empty()) {
        result.failure = Failure::Malformed;
        result.error = "empty boundary";
        return result;
    }
    Collector collector(body);
    Reader reader(boundary, limits, collector);
    if (reader.write(body) && reader.finish()) {
        result.parts = collector.parts();
    } else {
        result.failure = reader.failure();
        result.error = reader.error();
    }
    return result;
}

}  // namespace brevant::backend::multipart
