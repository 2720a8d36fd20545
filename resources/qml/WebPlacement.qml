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
    readonly property alias view: viewLoader.item

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
        viewLoader.active = true
        viewLoader.item.url = uploadedApplication ? wrapperUrl : childUrl
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

    // Calls window.talvorineNativeWrapper.<member>(...arguments) when the wrapper exists; the
    // answer, carried as JSON text, goes to done.
    function callWrapper(member, args, done) {
        if (!viewLoader.item)
            return
        const call = "window.talvorineNativeWrapper ? JSON.stringify(window.talvorineNativeWrapper."
            + member + "(" + args.map(value => JSON.stringify(value)).join(",") + ")) : null"
        // A call that wants no answer passes no callback: an answer arriving while the
        // placement is being destroyed (its "teardown") would be handed to a QML engine that is
        // gone, which crashes the process (Qt 6.4).
        if (!done) {
            viewLoader.item.runJavaScript(call)
            return
        }
        viewLoader.item.runJavaScript(call, result => {
            if (typeof result === "string" && result !== "")
                done(result)
        })
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
            viewLoader.item.runJavaScript(
                "window.talvorineNativeWrapper ? window.talvorineNativeWrapper.failureStage : ''",
                stage => {
                    placement.recordFailure(typeof stage === "string" ? stage : "", 0)
                    placement.fail("web_child_failed")
                })
            break
        }
    }

    function takeQueues() {
        viewLoader.item.runJavaScript(
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
        viewLoader.item.runJavaScript(
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
        if (!viewLoader.item)
            return
        if (uploadedApplication)
            callWrapper("teardown", [])
        viewLoader.item.visible = false
        viewLoader.item.url = "about:blank"
    }

    WebPlacementChannel { id: channel }

    // The view goes before the profile when the placement is destroyed: it is declared first.
    Loader {
        id: viewLoader
        anchors.fill: parent
        active: false
        sourceComponent: WebEngineView {
            profile: isolatedProfile
            focus: placement.playbackActive
            backgroundColor: "transparent"
            settings.javascriptCanOpenWindows: false
            settings.localContentCanAccessFileUrls: false
            settings.localContentCanAccessRemoteUrls: placement.uploadedApplication
            settings.dnsPrefetchEnabled: false
            settings.webRTCPublicInterfacesOnly: true
            settings.screenCaptureEnabled: false

            onNavigationRequested: request => placement.judgeNavigation(request)
            onLoadingChanged: request => placement.handleLoad(request)
            onTitleChanged: placement.handleTitle(title)
            onJavaScriptConsoleMessage: (level, message, lineNumber, sourceId) => {
                const failure = channel.classifyConsoleMessage(message, lineNumber)
                placement.recordFailure(failure.stage, failure.errorCode)
            }
            onRenderProcessTerminated: (terminationStatus, exitCode) => {
                placement.recordFailure("renderer_terminated", exitCode)
                placement.fail("web_child_failed")
            }
            onNewWindowRequested: request => placement.fail("web_popup_denied")
            onFeaturePermissionRequested: (securityOrigin, feature) =>
                grantFeaturePermission(securityOrigin, feature, false)
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
