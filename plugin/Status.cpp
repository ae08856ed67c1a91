#include "plugin/Status.h"

#include <mutex>
#include <optional>

#include "core/Globals.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "platform/Clock.h"
#include "replays/ReplayUpload.h"
#include "rotation/HostingState.h"
#include "sdk/CVarManagerWrapper.h"

namespace brevant {
namespace {

// What was shown last of each source, for the frames when a source is busy.
std::mutex shownMutex;
SeriesView shownSeries;
std::optional<replays::UploadNote> shownUpload;
std::optional<std::size_t> shownPending;
struct ResultNote {
    std::string name;
    std::int64_t atMs = 0;
    std::string outcome;
};
std::optional<ResultNote> lastResult;

std::string ago(std::int64_t ms) {
    const std::int64_t s = std::max<std::int64_t>(ms, 0) / 1000;
    if (s < 120)
        return std::to_string(s) + "s";
    if (s < 2 * 3600)
        return std::to_string(s / 60) + "m";
    return std::to_string(s / 3600) + "h";
}

std::string connectionLine(const SessionStatus& s, std::int64_t now, StatusView::Tone& tone) {
    using State = SessionStatus::State;
    std::string why;
    if (s.closeCode != 0)
        why = " (codigo " + std::to_string(s.closeCode) +
              (s.closeReason.empty() ? "" : ": " + s.closeReason) + ")";
    else if (!s.error.empty())
        why = " (" + s.error + ")";
    if (s.attempts > 0)
        why += "; " + std::to_string(s.attempts) + (s.attempts == 1 ? " tentativa" : " tentativas");
    switch (s.state) {
        case State::NotStarted:
            tone = StatusView::Tone::Pending;
            return "Conexao: ainda nao aberta";
        case State::Connecting:
            tone = StatusView::Tone::Pending;
            return "Conexao: conectando...";
        case State::Connected: {
            // A backend silent for more than twice its ping period may be gone: said, so that a
            // connection that died in silence never looks well.
            const std::int64_t silent = now - s.lastFrameMs;
            const bool quiet = s.pingPeriodMs > 0 && silent > 2 * s.pingPeriodMs;
            tone = quiet ? StatusView::Tone::Pending : StatusView::Tone::Good;
            return "Conexao: conectado ha " + ago(now - s.sinceMs) +
                   (quiet ? "; sem noticias do backend ha " + ago(silent) : "");
        }
        case State::Waiting:
            tone = StatusView::Tone::Pending;
            return "Conexao: fechada ha " + ago(now - s.sinceMs) + why + "; reconectando em " +
                   ago(s.retryAtMs - now + 999);
        case State::Closed:
            break;
    }
    tone = StatusView::Tone::Bad;
    return "Conexao: fechada ha " + ago(now - s.sinceMs) + why +
           (s.replaced ? "; outra conexao deste device assumiu (use Reconectar)" : "");
}

}  // namespace

void noteResultReported(const std::string& name, const std::string& outcome) {
    std::lock_guard lk(shownMutex);
    lastResult = ResultNote{name, platform::steadyMillis(), outcome};
}

StatusView statusNow() {
    StatusView view;
    const std::int64_t now = platform::steadyMillis();
    view.connection = connectionLine(sessionStatus(), now, view.tone);
    view.reconnect = settingOn("brv_ws_reconnect", false);
    const auto series = trySeriesView();
    const auto upload = replays::lastUploadTry();
    const auto pending = outbox::tryPendingCount();

    std::lock_guard lk(shownMutex);
    if (series)
        shownSeries = *series;
    if (upload)
        shownUpload = upload;
    if (pending)
        shownPending = pending;
    view.series =
        shownSeries.server.empty()
            ? "Serie: nenhuma"
            : "Serie: " + shownSeries.server + " | rotacao " +
                  (shownSeries.enabled ? "ligada" : "desligada") +
                  (shownSeries.nextMap.empty() ? "" : " | proximo mapa: " + shownSeries.nextMap) +
                  " | rev " + std::to_string(shownSeries.rev);
    view.lastResult = lastResult ? "Ultimo resultado: " + lastResult->name + ", ha " +
                                       ago(now - lastResult->atMs) + ": " + lastResult->outcome
                                 : "Ultimo resultado: nenhum";
    view.lastReplay = shownUpload ? "Ultimo replay: " + shownUpload->name + ", ha " +
                                        ago(now - shownUpload->atMs) + ": " + shownUpload->outcome
                                  : "Ultimo replay: nenhum";
    if (shownPending)
        view.outbox = "Pendentes para o backend: " + std::to_string(*shownPending);
    return view;
}

std::vector<std::string> statusLines(const StatusView& view) {
    std::vector<std::string> lines{view.connection, view.series, view.lastResult, view.lastReplay};
    if (!view.outbox.empty())
        lines.push_back(view.outbox);
    lines.push_back(std::string("Reconectar sozinho: ") + (view.reconnect ? "sim" : "nao"));
    for (auto& line : lines)
        line = "[BRV] Status: " + line;
    return lines;
}

void applyStatusActions(const StatusActions& actions) {
    if (actions.reconnectChanged) {
        if (const auto cvars = globalCvarManager.load()) {
            CVarWrapper setting = cvars->getCvar("brv_ws_reconnect");
            if (!setting.IsNull())
                setting.setValue(actions.reconnect ? "1" : "0");
        }
    }
    if (actions.reconnectNow)
        connectNow();
}

}  // namespace brevant
