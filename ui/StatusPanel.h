#pragma once
// The status panel below the settings body: the connection, the series, the last result and
// replay sent, what waits in the outbox, and the reconnection setting. Drawn with Dear ImGui
// into the current window from a view made by the caller; it reads nothing else and waits for
// nothing.
#include <string>

namespace brevant {

struct StatusView {
    enum class Tone { Good, Bad, Pending };
    std::string connection;  // "Conexao: conectado ha 2m"
    Tone tone = Tone::Pending;
    std::string series;      // "Serie: Sala | rotacao ligada | proximo mapa: Stadium_P | rev 12"
    std::string lastResult;  // "Ultimo resultado: blue 3-1 (Sala), ha 3m: enviado"
    std::string lastReplay;  // "Ultimo replay: replay_VXA_x.replay, ha 1m: enviado"
    std::string outbox;      // "Pendentes para o backend: 2"; empty: no line
    bool reconnect = false;  // brv_ws_reconnect
};

// What the player did with the panel this frame.
struct StatusActions {
    bool reconnectNow = false;  // pressed "Reconectar"
    bool reconnectChanged = false;
    bool reconnect = false;  // the checkbox's new state, when changed
};

// Draws a separator, then the panel. Any thread that owns the frame.
StatusActions renderStatusPanel(const StatusView& view);

}  // namespace brevant
