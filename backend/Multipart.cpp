#include "backend/Multipart.h"

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
};

Tail delimiterTail(std::string_view body, std::size_t after, std::size_t& next) {
    if (after < body.size() && body[after] == '-') {
        if (after + 1 == body.size())
            return Tail::Incomplete;
        return body[after + 1] == '-' ? Tail::Close : Tail::NotOne;
    }
    std::size_t j = after;
    while (j < body.size() && isBlank(body[j]))
        ++j;
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

struct Delimiter {
    std::size_t at = std::string_view::npos;  // where the CRLF before "--boundary" starts
    Tail tail = Tail::Incomplete;
    std::size_t next = 0;
};

// The first real delimiter "CRLF--boundary" at or after `from`; `at` is npos when the body
// ends without one.
Delimiter findDelimiter(std::string_view body, std::string_view crlfDashBoundary,
                        std::size_t from) {
    for (;;) {
        const std::size_t at = body.find(crlfDashBoundary, from);
        if (at == std::string_view::npos)
            return {};
        Delimiter d;
        d.tail = delimiterTail(body, at + crlfDashBoundary.size(), d.next);
        if (d.tail == Tail::NotOne) {
            from = at + 1;
            continue;
        }
        if (d.tail == Tail::Incomplete)
            return {};
        d.at = at;
        return d;
    }
}

class Parser {
public:
    Parser(std::string_view body, std::string_view boundary, const Limits& limits)
        : body_(body), crlfDash_("\r\n--" + std::string(boundary)), limits_(limits) {}

    Result run() {
        Delimiter first;
        if (body_.substr(0, crlfDash_.size() - 2) == std::string_view(crlfDash_).substr(2)) {
            first.tail = delimiterTail(body_, crlfDash_.size() - 2, first.next);
            first.at = 0;
        }
        if (first.at == std::string_view::npos || first.tail == Tail::NotOne ||
            first.tail == Tail::Incomplete)
            first = findDelimiter(body_, crlfDash_, 0);
        if (first.at == std::string_view::npos)
            return fail(Failure::Malformed, "the body does not contain the boundary");

        Tail tail = first.tail;
        std::size_t pos = first.next;
        while (tail != Tail::Close) {
            if (result_.parts.size() == limits_.maxParts)
                return fail(Failure::Malformed,
                            "more than " + std::to_string(limits_.maxParts) + " parts");
            Part part;
            if (!readHeaders(pos, part))
                return std::move(result_);
            const Delimiter end = findDelimiter(body_, crlfDash_, pos);
            if (end.at == std::string_view::npos)
                return fail(Failure::Malformed, "part '" + escaped(part.name, 40) +
                                                    "' is not closed by the boundary "
                                                    "(truncated body?)");
            part.data = body_.substr(pos, end.at - pos);
            const std::size_t limit = part.fileName ? limits_.maxFileBytes : limits_.maxFieldBytes;
            if (part.data.size() > limit)
                return fail(Failure::TooLarge, "part '" + escaped(part.name, 40) +
                                                   "' is larger than " + std::to_string(limit) +
                                                   " bytes");
            result_.parts.push_back(std::move(part));
            tail = end.tail;
            pos = end.next;
        }
        return std::move(result_);
    }

private:
    void setFailure(Failure failure, std::string error) {
        result_.failure = failure;
        result_.error = std::move(error);
        result_.parts.clear();
    }

    Result fail(Failure failure, std::string error) {
        setFailure(failure, std::move(error));
        return std::move(result_);
    }

    bool refuse(std::string error) {
        setFailure(Failure::Malformed, std::move(error));
        return false;
    }

    // Reads the header lines from `pos` up to and including the empty line; `pos` ends at the
    // first data byte.
    bool readHeaders(std::size_t& pos, Part& part) {
        const std::size_t start = pos;
        bool disposition = false;
        bool contentType = false;
        for (;;) {
            const std::size_t eol = body_.find("\r\n", pos);
            const std::size_t end = eol == std::string_view::npos ? body_.size() : eol;
            if (end - start > limits_.maxHeaderBytes)
                return refuse("part headers longer than " + std::to_string(limits_.maxHeaderBytes) +
                              " bytes");
            if (eol == std::string_view::npos)
                return refuse("the body ends inside the part headers (truncated body?)");
            const std::string_view line = body_.substr(pos, eol - pos);
            pos = eol + 2;
            if (line.empty())
                break;
            if (isBlank(line.front()))
                return refuse("folded part header lines are not supported");
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0)
                return refuse("malformed part header line");
            const std::string_view name = line.substr(0, colon);
            for (char c : name) {
                if (!isTokenChar(c))
                    return refuse("malformed part header name");
            }
            const std::string_view value = trimBlanks(line.substr(colon + 1));
            if (equalsNoCase(name, "Content-Disposition")) {
                if (disposition)
                    return refuse("repeated Content-Disposition in a part");
                disposition = true;
                if (!readDisposition(value, part))
                    return false;
            } else if (equalsNoCase(name, "Content-Type")) {
                if (contentType)
                    return refuse("repeated Content-Type in a part");
                contentType = true;
                part.contentType = std::string(value);
            }
        }
        if (!disposition)
            return refuse("a part has no Content-Disposition");
        return true;
    }

    bool readDisposition(std::string_view value, Part& part) {
        const std::size_t semicolon = value.find(';');
        const std::string_view type = trimBlanks(value.substr(0, semicolon));
        if (!equalsNoCase(type, "form-data"))
            return refuse("a part is not form-data");
        std::vector<Parameter> parameters;
        std::string error;
        if (semicolon != std::string_view::npos &&
            !parseParameters(value.substr(semicolon), parameters, error))
            return refuse("Content-Disposition: " + error);
        const std::string* name = findParameter(parameters, "name");
        if (!name || name->empty())
            return refuse("a part has no name");
        part.name = *name;
        if (const std::string* fileName = findParameter(parameters, "filename"))
            part.fileName = *fileName;
        return true;
    }

    std::string_view body_;
    const std::string crlfDash_;
    const Limits& limits_;
    Result result_;
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

Result parse(std::string_view body, std::string_view boundary, const Limits& limits) {
    if (boundary.empty()) {
        Result r;
        r.failure = Failure::Malformed;
        r.error = "empty boundary";
        return r;
    }
    return Parser(body, boundary, limits).run();
}

}  // namespace brevant::backend::multipart
