#pragma once
// The parts of a request's text that every system's HTTP transport builds the same way.
#include <string>
#include <string_view>

#include "platform/HttpTransport.h"

namespace platform {

// The text without the spaces and tabs at either end (a header's name or value).
std::string_view trimBlanks(std::string_view s);

// The caller's extra header block as "Name: value\r\n" lines, in order. Lines end at CR or LF;
// empty lines and lines without a name are left out, so nothing in the block can end the head
// early or break a line.
std::string headerLines(std::string_view block);

// Whether the request sends a body and its Content-Length: a POST always does, another method
// (GET and HEAD aside) only with a body.
bool carriesBody(const HttpRequest& request);

}  // namespace platform
