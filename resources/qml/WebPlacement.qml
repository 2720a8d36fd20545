import QtQuick
import QtWebEngine
import Talvorine.Native 1.0

// One web primitive of a stage: an uploaded application inside the trusted wrapper, or an https
// page of its own. It owns its engine profile and view; the wrapper's title says when a queue
// has something, and the channel (C++) decides what each title, console message and probe
// reading means and which of the controller's answers are this placement's. The stage sets
// every input at construction and then calls beginLoad() once.
Item {
    id: placement

    readonly property url wrapperUrl: "qrc:/web/trusted-wrapper.html"
    property url childUrl
    property string expectedOrigin
    property bool uploadedApplication: false
    property bool startupHeld: false
    property bool playbackActive: false
    property string packageCacheRoot
    property string selectedPackageSha256
    property var packageCoordinator: null
    property var applicationContext: ({})
    property size playerViewport
    property var hostFeatures: []
    property bool iframeReadySignaled: false
    property bool placementTerminated: false
    property int handshakeLoggedStages: 0
    property int handshakeDroppedLogged: 0
    property bool handshakeWrapperMissingLogged: false
    readonly property int httpCacheMaximumSizeBytes: 64 * 1024 * 1024
    // Whether this wrapper document has been reported ready, by its title or by the probe.
    property bool applicationReadyReported: false

    // For the stage's tests and diagnostics: the view once it exists.
    readonly property Item view: createdView
    property Item createdView: null

    signal applicationPrepared()
    signal placementReady()
    signal pageAdvanceRequested()
    signal applicationLogRequested(string level, string code, string message)
    signal applicationEventRequested(string code, string requestId)
    signal applicationKvRequested(string requestId, var request)
    signal placementFailed(string code)

    function beginLoad() {
        iframeReadySignaled = false
        placementTerminated = false
        resetProbe()
        channel.forgetRequests()
        if (!createdView) {
            createdView = channel.createView(viewComponent, viewHolder, {
                profile: isolatedProfile, uploadedApplication: uploadedApplication})
            createdView.focus = Qt.binding(() => placement.playbackActive)
        }
        createdView.url = uploadedApplication ? wrapperUrl : childUrl
    }

    function reportApplicationReady() {
        applicationReadyReported = true
        placementReady()
    }

    function fail(code) {
        if (placementTerminated)
            return
        placementTerminated = true
        probe.stop()
        placementFailed(code)
    }

    function recordFailure(stage, errorCode) {
        if (packageCoordinator)
            packageCoordinator.recordFailure(stage, errorCode)
    }

    // A page's console, bounded: the first messages of each kind are recorded, the rest counted
    // and summed up at most once a minute.
    function recordConsoleMessage(message, lineNumber) {
        const failure = channel.admitConsoleMessage(message, lineNumber)
        if (failure.record)
            recordFailure(failure.stage, failure.errorCode)
        else if (!consoleRepeats.running)
            consoleRepeats.start()
    }

    function recordConsoleRepeats() {
        const repeats = channel.takeConsoleRepeats()
        if (packageCoordinator)
            packageCoordinator.recordFailureRepeats(repeats)
    }

    // Nobody at a screen can answer a dialog: each is refused at once, and recorded once per
    // kind. Leaving a page is never held up by one (beforeunload).
    function refuseDialog(request, stage, leaving) {
        request.accepted = true
        if (leaving)
            request.dialogAccept()
        else
            request.dialogReject()
        if (channel.firstRefusal(stage))
            recordFailure(stage, 0)
    }

    function recordHandshake(stage, origin) {
        if (packageCoordinator)
            packageCoordinator.recordHandshake(stage, origin)
    }

    function configureHandler() {
        if (packageCoordinator)
            packageCoordinator.configure(isolatedProfile, packageCacheRoot, selectedPackageSha256,
                                         expectedOrigin, uploadedApplication)
    }

    function resetProbe() {
        handshakeLoggedStages = 0
        handshakeDroppedLogged = 0
    }

    // Runs script in the page; its answer goes to done unless the placement has retired by
    // then. The view is held in a local, not looked up through this placement's context: a
    // retired placement's context resolves nothing.
    function runScript(script, done) {
        const target = createdView
        if (!target || target.retired)
            return
        if (!done) {
            target.runJavaScript(script)
            return
        }
        target.runJavaScript(script, answer => {
            if (!target.retired)
                done(answer)
        })
    }

    // Calls window.talvorineNativeWrapper.<member>(...arguments) when the wrapper exists; the
    // answer, carried as JSON text, goes to done.
    function callWrapper(member, args, done) {
        const call = "window.talvorineNativeWrapper ? JSON.stringify(window.talvorineNativeWrapper."
            + member + "(" + args.map(value => JSON.stringify(value)).join(",") + ")) : null"
        runScript(call, done ? result => {
            if (typeof result === "string" && result !== "")
                done(result)
        } : null)
    }

    function handleTitle(title) {
        if (!uploadedApplication || placementTerminated)
            return
        switch (channel.actionForTitle(title)) {
        case "prepared": applicationPrepared(); break
        case "ready": reportApplicationReady(); break
        case "advance": pageAdvanceRequested(); break
        // Titles of different queues coalesce as well (a key-value title followed at once by a
        // log title is seen as the log title only), so any queue title takes all three.
        case "logs":
        case "events":
        case "kv":
            takeQueues()
            break
        case "error":
            runScript(
                "window.talvorineNativeWrapper ? window.talvorineNativeWrapper.failureStage : ''",
                stage => {
                    placement.recordFailure(typeof stage === "string" ? stage : "", 0)
                    placement.fail("web_child_failed")
                })
            break
        }
    }

    function takeQueues() {
        runScript(
            "(w => w ? JSON.stringify({logs: w.takeLogs(), events: w.takeEvents(),"
            + " kv: w.takeKvRequests()}) : '')(window.talvorineNativeWrapper)",
            text => {
                if (typeof text !== "string" || text === "" || placementTerminated)
                    return
                const queues = channel.takeQueues(text)
                for (const log of queues.logs)
                    applicationLogRequested(log.level, log.code, log.message)
                for (const event of queues.events)
                    applicationEventRequested(event.code, event.requestId)
                for (const entry of queues.kv)
                    applicationKvRequested(entry.requestId, entry.request)
            })
    }

    function handleLoad(request) {
        // A stopped load (a navigation this placement refused) is no failure of the page.
        if (placementTerminated || request.status === WebEngineView.LoadStartedStatus
            || request.status === WebEngineView.LoadStoppedStatus)
            return
        const succeeded = request.status === WebEngineView.LoadSucceededStatus
        if (uploadedApplication && succeeded) {
            if (packageCoordinator && !packageCoordinator.allowedWrapper(request.url))
                return
            recordHandshake("wrapper-loaded", "")
            channel.forgetRequests()
            applicationReadyReported = false
            callWrapper("configure", [{
                source: childUrl.toString(), expectedOrigin: expectedOrigin,
                uploadedApplication: uploadedApplication, startupHeld: startupHeld,
                features: hostFeatures, context: applicationContext
            }])
            resetProbe()
            probe.restart()
        } else if (uploadedApplication) {
            recordFailure("wrapper_load", request.errorCode)
            fail("web_wrapper_load_failed")
        } else if (succeeded) {
            if (packageCoordinator && packageCoordinator.shouldSignalIframeReady(
                    request.url, expectedOrigin, iframeReadySignaled)) {
                iframeReadySignaled = true
                placementReady()
            }
        } else {
            recordFailure("iframe_load", request.errorCode)
            fail("web_child_failed")
        }
    }

    function judgeNavigation(request) {
        if (!request.isMainFrame || !packageCoordinator)
            return
        const allowed = uploadedApplication ? packageCoordinator.allowedWrapper(request.url)
            : packageCoordinator.allowsIframeMainFrame(request.url, expectedOrigin)
        if (allowed)
            return
        request.action = WebEngineNavigationRequest.IgnoreRequest
        if (!uploadedApplication) {
            recordFailure("iframe_navigation", 0)
            fail("web_child_failed")
        }
    }

    function deliverAnswer(member, messageId, status, body) {
        if (messageId !== "")
            callWrapper(member, [messageId, Number(status), String(body)])
    }

    function readProbe() {
        if (!uploadedApplication || placementTerminated || iframeReadySignaled
            || channel.probeDone(handshakeLoggedStages, handshakeDroppedLogged)) {
            probe.stop()
            return
        }
        runScript(
            "window.talvorineNativeWrapper"
            + " ? JSON.stringify(window.talvorineNativeWrapper.diagnostics()) : 'null'",
            answer => {
                if (typeof answer !== "string" || answer === "" || placementTerminated)
                    return
                const step = channel.readProbe(answer, handshakeLoggedStages,
                                               handshakeDroppedLogged,
                                               handshakeWrapperMissingLogged)
                for (const record of step.records)
                    recordHandshake(record.stage, record.origin)
                handshakeLoggedStages = step.loggedStages
                handshakeDroppedLogged = step.droppedLogged
                handshakeWrapperMissingLogged = step.wrapperMissingLogged
                // A "ready" title overwritten by the next one at once is found here.
                if (step.ready && !applicationReadyReported)
                    reportApplicationReady()
                if (step.stop)
                    probe.stop()
            })
    }

    function updateGeometry() {
        if (uploadedApplication && !placementTerminated)
            callWrapper("updateGeometry", [
                {width: playerViewport.width, height: playerViewport.height},
                {width: width, height: height}])
    }

    onPackageCacheRootChanged: configureHandler()
    onSelectedPackageSha256Changed: configureHandler()
    onPackageCoordinatorChanged: configureHandler()
    onExpectedOriginChanged: configureHandler()
    onUploadedApplicationChanged: configureHandler()
    onWidthChanged: updateGeometry()
    onHeightChanged: updateGeometry()
    onPlayerViewportChanged: updateGeometry()
    onStartupHeldChanged: {
        if (!startupHeld && uploadedApplication && !placementTerminated)
            callWrapper("present", [])
    }

    // The package handler must be installed before the profile's first view exists: one
    // installed later is never asked for anything (Qt 6.4). So the view is made only by
    // beginLoad(), after this configuration.
    Component.onCompleted: configureHandler()
    Component.onDestruction: {
        placementTerminated = true
        probe.stop()
        consoleRepeats.stop()
        recordConsoleRepeats()
        if (!createdView)
            return
        if (uploadedApplication)
            callWrapper("teardown", [])
        // From here on no answer reaches this placement; the view goes with viewHolder.
        createdView.retired = true
        createdView.visible = false
        createdView.url = "about:blank"
    }

    WebPlacementChannel { id: channel }

    // The view goes before the profile when the placement is destroyed: its holder is declared
    // first.
    Item {
        id: viewHolder
        anchors.fill: parent
    }

    // Made in the engine's root context (createView), so it refers to nothing of the placement;
    // the placement sets its profile and focus and listens to it below.
    Component {
        id: viewComponent
        WebEngineView {
            // Set when the placement retires: answers still in flight are dropped.
            property bool retired: false
            property bool uploadedApplication: false
            anchors.fill: parent
            backgroundColor: "transparent"
            settings.javascriptCanOpenWindows: false
            settings.localContentCanAccessFileUrls: false
            settings.localContentCanAccessRemoteUrls: uploadedApplication
            settings.dnsPrefetchEnabled: false
            settings.webRTCPublicInterfacesOnly: true
            settings.screenCaptureEnabled: false
        }
    }

    Connections {
        target: placement.createdView
        function onNavigationRequested(request) { placement.judgeNavigation(request) }
        function onLoadingChanged(request) { placement.handleLoad(request) }
        function onTitleChanged() { placement.handleTitle(placement.createdView.title) }
        function onJavaScriptConsoleMessage(level, message, lineNumber, sourceId) {
            placement.recordConsoleMessage(message, lineNumber)
        }
        function onJavaScriptDialogRequested(request) {
            placement.refuseDialog(request, "javascript_dialog",
                                   request.type === JavaScriptDialogRequest.DialogTypeBeforeUnload)
        }
        function onAuthenticationDialogRequested(request) {
            placement.refuseDialog(request, "authentication_dialog")
        }
        function onFileDialogRequested(request) { placement.refuseDialog(request, "file_dialog") }
        function onColorDialogRequested(request) { placement.refuseDialog(request, "color_dialog") }
        function onRenderProcessTerminated(terminationStatus, exitCode) {
            placement.recordFailure("renderer_terminated", exitCode)
            placement.fail("web_child_failed")
        }
        function onNewWindowRequested(request) { placement.fail("web_popup_denied") }
        function onFeaturePermissionRequested(securityOrigin, feature) {
            placement.createdView.grantFeaturePermission(securityOrigin, feature, false)
        }
    }

    WebEngineProfile {
        id: isolatedProfile
        offTheRecord: true
        httpCacheType: WebEngineProfile.MemoryHttpCache
        httpCacheMaximumSize: placement.httpCacheMaximumSizeBytes
        persistentCookiesPolicy: WebEngineProfile.NoPersistentCookies
        onDownloadRequested: download => download.cancel()
    }

    Timer {
        id: consoleRepeats
        objectName: "consoleRepeats"
        interval: 60000
        onTriggered: placement.recordConsoleRepeats()
    }

    Timer {
        id: probe
        objectName: "handshakeProbe"
        interval: 1000
        repeat: true
        onTriggered: placement.readProbe()
    }

    // The controller's answers, keyed "<generation>_<primitive id>_<message id>".
    Connections {
        target: typeof talvorineController !== "undefined" ? talvorineController : null
        ignoreUnknownSignals: true
        enabled: placement.uploadedApplication && !placement.placementTerminated
        function onApplicationEventFinished(requestId, status, body) {
            placement.deliverAnswer("completeEvent",
                channel.claimEventAnswer(requestId, placement.applicationContext), status, body)
        }
        function onApplicationKvFinished(requestId, status, body) {
            placement.deliverAnswer("completeKv",
                channel.claimKvAnswer(requestId, placement.applicationContext), status, body)
        }
    }
}
