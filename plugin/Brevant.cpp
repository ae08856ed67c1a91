#include "plugin/Brevant.h"

#include "core/FileWriter.h"
#include "core/Globals.h"
#include "core/Guard.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/Workers.h"
#include "match/MatchIdentity.h"
#include "match/Series.h"
#include "net/BackendEndpoint.h"
#include "net/BackendSession.h"
#include "outbox/Outbox.h"
#include "pairing/PairingCheck.h"
#include "pairing/PairingState.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "plugin/ConsoleSetup.h"
#include "plugin/DeviceId.h"
#include "plugin/Hooks.h"
#include "plugin/MessageRoutes.h"
#include "plugin/SessionSetup.h"
#include "plugin/Status.h"
#include "ranks/RankSubmit.h"
#include "replays/OwnedMark.h"
#include "replays/ReplayFolder.h"
#include "replays/ReplayUpload.h"
#include "replays/ReplayWatcher.h"
#include "results/GameResult.h"
#include "rotation/HostingState.h"
#include "rotation/PrivateMatch.h"
#include "rotation/RotationEngine.h"
#include "rotation/RotationFile.h"
#include "rotation/RotationSync.h"
#include "ui/SettingsBody.h"

namespace brevant {

Brevant::Brevant() {
    menuTitle_ = "Brevant";
}

namespace {

// How long onUnload waits for the final save to reach the disk, and onLoad for a save left by
// the load before it: the game thread's budget, not the disk's worst case.
constexpr std::chrono::milliseconds unloadWriteWait{50};
constexpr std::chrono::milliseconds loadWriteWait{1000};

// A game result's text to the session: empty when it took it (its frame in `frame`), else why
// not.
std::string sendResultText(const std::string& text, SentFrame& frame) {
    const SendOutcome sent = sendToBackend(text, &frame);
    return sent == SendOutcome::Sent ? std::string() : notSentReason(sent);
}

// Everything a load starts from, as at the first load in a process: a module the host had to
// keep loaded (a worker still ran) is loaded again with the state the last unload left.
void resetPluginState() {
    resetPairingState();
    ranks::resetRankState();
    resetMatchIdentity();
    resetHostingState();
    resetRotationEngineState();
    resetResultState();
    autoSaveLogCount.store(0);
    stopReplayWatcher();  // a watcher the last unload did not stop has no place in this load
}

// The replay folder from brv_replay_dir, or the game's own; then whether to watch it.
void setUpReplayFolder(CVarManagerWrapper& cvars) {
    runGuarded("onLoad replay folder", [&] {
        const std::string configured = cvars.getCvar("brv_replay_dir").getStringValue();
        watchedReplayFolder =
            configured.empty() ? gameDemosFolder() : platform::utf8ToWide(configured);
        logLine("[BRV] Replays dir: " + platform::wideToUtf8(watchedReplayFolder));

        bool watch = true;
        try {
            watch = cvars.getCvar("brv_watch_replays").getBoolValue();
        } catch (...) {
        }
        if (watch && !watchedReplayFolder.empty())
            startReplayWatcher();
        else
            logLine("[BRV] Watcher de replays desativado.");
    });
}

}  // namespace

void Brevant::onLoad() {
    if (!cvarManager || !gameWrapper)
        return;  // a host that gave no handles gets nothing
    resetPluginState();
    runGuarded("onLoad", [&] {
        globalCvarManager.store(cvarManager);
        globalGameWrapper.store(gameWrapper);
        CVarManagerWrapper& cvars = *cvarManager;
        GameWrapper& gw = *gameWrapper;

        cvars.executeCommand("listchatcommands", true);
        cvars.executeCommand("ranked_autosavereplay_all 1", true);

        runGuarded("onLoad rotation file", [&] {
            {
                std::lock_guard lk(hostingMutex);
                rotationState.file = rotationFilePath(gw.GetDataFolderW());
            }
            // A quick reload must not read the file before the last load's final save is on
            // it, or it would go on from the older state and overwrite the newer one.
            waitForFileWrites(loadWriteWait);
            resetFileWriter();
            startFileWriter();  // saves from here on only hand their snapshots to it
            // A save that a crash cut short leaves its temporary file behind.
            removeStaleFileLater(platform::temporaryBeside(rotationFilePath(gw.GetDataFolderW())),
                                 std::chrono::minutes(1));
            loadRotationState();
        });

        registerEarlyCvars(cvars);
        registerUploadCommand(cvars);

        deviceId = loadOrCreateDeviceId(gw.GetDataFolderW());
        registerDeviceIdCvar(cvars, deviceId);
        registerUiAndRankCommands(cvars);

        // In force before the first worker below reads it.
        const auto endpointNote = applyBackendEndpointFromEnvironment();
        setOwnedMarkFile(platform::widePath(gw.GetDataFolderW()) / "Brevant" / "owned-replay.json");
        setUpReplayFolder(cvars);
        runGuarded("onLoad outbox", [&] {
            outbox::startOutbox(
                platform::widePath(gw.GetDataFolderW()) / "Brevant" / "outbox",
                {sendResultText, frameWritten, sessionOpen, replays::sendReplay, sessionPinged});
        });

        if (endpointNote)
            logLine(*endpointNote);
        gw.SetTimeout([](GameWrapper*) { startBackendSession(pluginSessionSetup()); }, 0.3f);
        hookGameEvents(gameWrapper);
        startLoadTimePairCheck();

        logLine("[BRV] Loaded. UI: F2 > Plugins > Brevant ou 'brevant_ui'.");
        registerMenuBindCvar(cvars);
        runGuarded("onLoad menu bind", [&] { applyMenuBind(cvars); });
        // The plugin's own additions come after everything the host has always seen.
        registerSessionCvarAndCommands(cvars);
        registerOutboxCommands(cvars);
        tickRotationWatchdog();
        // A failure outside the guarded stretches ends start-up here; the host never sees it.
    });
}

void Brevant::onUnload() {
    runGuarded("onUnload", [&] {
        // The session goes first: once its receiver has ended, no message can change the state
        // after the final snapshot below. The outbox's thread ends at once (an upload under way
        // is cut and kept for the next load).
        stopBackendSession();
        outbox::stopOutbox();
        saveRotationState();
        resetSeries();
        {
            std::lock_guard lk(hostingMutex);
            rotationState.enabled.store(false);
            rotationState.rotation.clear();
        }
        stopReplayWatcher();
        globalGameWrapper.store(nullptr);
        // Pairing checks and rank submissions have nobody to tell any more: their network
        // waits end now, so the host can close the module at once.
        requestWorkersStop();
        // The final snapshot is on disk in a few milliseconds; a slower disk is not waited for
        // here: the writer finishes while the host keeps the module, as it does for workers.
        waitForFileWrites(unloadWriteWait);
    });
}

// The host draws these once per frame; a failure ends this frame's drawing, not the host.
void Brevant::RenderSettings() {
    runGuarded("draw settings tab", [this] { RenderCommonUI(); });
}
void Brevant::Render() {
    runGuarded("draw window", [this] { RenderCommonUI(); });
}
void Brevant::RenderWindow() {
    runGuarded("draw window body", [this] { RenderCommonUI(); });
}

void Brevant::RenderCommonUI() {
    renderCommonUi();
    applyStatusActions(renderStatusPanel(statusNow()));
}

}  // namespace brevant
