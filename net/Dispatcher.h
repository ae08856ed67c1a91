#pragma once
// Routing of the backend's messages. Runs on the WebSocket receiver thread, one text at a time.
#include <string>

namespace brevant {

class Brevant;

// Parses one received text and handles it by its type. Whatever the text holds, nothing is
// thrown: a text that is not a JSON object, has no known type or has a field of the wrong type
// is dropped without a word, before it changes anything.
void dispatchMessage(Brevant& plugin, const std::string& text);

}  // namespace brevant
