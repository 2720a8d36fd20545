// The player's trusted top document for an uploaded web application. The application runs in one
// sandboxed frame of its own package origin; this script proves with a challenge that it talks to
// that frame and nothing else, hands it its context, and carries its messages to the native side.
//
// Everything that arrives from the frame is written by someone else: it is read member by member,
// checked against fixed rules, and copied into fresh objects before it goes anywhere. The native
// side reaches this page only through the frozen `window.talvorineNativeWrapper`; the page reaches
// the native side only through `document.title`, after which the native side pulls whole queues.
(function () {
    "use strict";

    const HANDSHAKE_PROTOCOL = "talvorine.parent-handshake/1";
    const APPLICATION_PROTOCOL = "1";
    const MESSAGE_ID = /^[A-Za-z0-9._-]{8,128}$/;
    const PRIMITIVE_ID = /^[A-Za-z][A-Za-z0-9_-]{0,63}$/;
    const NONCE = /^[A-Za-z0-9_-]{22,128}$/;
    const LOG_CODE = /^[A-Za-z0-9._-]{1,64}$/;
    const EVENT_CODE = /^[A-Za-z0-9._-]{1,64}$/;
    const KIND = /^[a-z][a-z0-9._-]{0,63}$/;
    const PROBLEM_CODE = /^[a-z][a-z0-9_]{0,63}$/;
    const PACKAGE_HOST = /^[a-f0-9]{32}\.[a-f0-9]{32}$/;
    const BASE64 = /^[A-Za-z0-9+/]*={0,2}$/;
    const IDEMPOTENCY_KEY = /^[\x21-\x7e]{8,200}$/;
    const DIGEST = /^[a-f0-9]{64}$/;

    const MAX_MESSAGE_BYTES = 65536;
    const MAX_LOG_BYTES = 2048;
    const MAX_PENDING_REQUESTS = 64;
    const MAX_KV_VALUE_BASE64_LENGTH = 1398104;
    // A "kv.set" carries a value of up to MAX_KV_VALUE_BASE64_LENGTH characters; the rest of its
    // envelope keeps the ordinary allowance.
    const MAX_KV_SET_MESSAGE_BYTES = MAX_KV_VALUE_BASE64_LENGTH + MAX_MESSAGE_BYTES;
    const MAX_KEY_BYTES = 256;
    const MAX_CONTENT_TYPE_LENGTH = 127;
    const MAX_REQUEST_ID_LENGTH = 128;
    const RESERVED_KEY_PREFIX = "_talvorine/";
    const SEEN_MESSAGE_IDS = 512;
    const LIST_ANSWER_CAP = 200;
    const MAX_SIZE = 100000;
    const MAX_FEATURES = 64;
    // Logs get no answer, so a flooding application loses the excess instead of growing the queue
    // while the native side is busy; an application that reloads itself in a loop stops adding
    // stages to the history once the native side's probe could no longer read them anyway.
    const MAX_PENDING_LOGS = MAX_PENDING_REQUESTS;
    const MAX_HISTORY = 128;

    const PROTOCOL_KINDS = new Set([
        "context", "ready", "log", "event.emit", "page.advance", "viewport.changed",
        "kv.get", "kv.list", "kv.set", "kv.delete", "response.ack", "response.problem",
    ]);
    const LOG_LEVELS = new Set(["debug", "info", "warn", "error"]);
    const KV_CAPABILITY = new Map([
        ["kv.get", "kv.read"], ["kv.list", "kv.read"], ["kv.set", "kv.write"], ["kv.delete", "kv.write"],
    ]);
    const CAPABILITIES = ["page.advance", "kv.read", "kv.write"];
    const SIZE_MEMBERS = ["width", "height"];
    // The context's members in the order of their rules; the first failing rule names the stage.
    const CONTEXT_RULES = [
        ["application_id", (value) => matches(MESSAGE_ID, value)],
        ["release_id", (value) => matches(MESSAGE_ID, value)],
        ["primitive_id", (value) => matches(PRIMITIVE_ID, value)],
        ["generation", (value) => isCount(value)],
        ["capabilities", (value) => hasExactly(value, CAPABILITIES)
            && CAPABILITIES.every((name) => typeof value[name] === "boolean")],
        ["viewport", (value) => isSize(value)],
        ["primitive", (value) => isSize(value)],
        ["screen_id", (value) => matches(MESSAGE_ID, value)],
    ];
    const CONTEXT_MEMBERS = CONTEXT_RULES.map(([name]) => name);

    // Placement.
    let iframe = null;
    let expectedOrigin = "";
    let uploadedApplication = false;
    let startupHeld = false;
    let contextTemplate = null;
    let generation = -1;
    let features = Object.freeze([]);
    let listening = false;
    // Binding of the current frame load, opened by its challenge.
    let challenge = "";
    let childParentOrigin = "";
    let handshakeComplete = false;
    let contextSent = false;
    let ready = false;
    let advanced = false;
    let seenIds = new Set();
    let pendingLogs = [];
    let pendingEvents = [];
    let pendingKvRequests = [];
    let awaitingEvents = new Set();
    let awaitingKv = new Map();
    // Title counters run on across reloads of the frame: a counter back at 1 could write the
    // title the native side already saw, and the queued item would never be pulled.
    let logCount = 0;
    let eventCount = 0;
    let kvCount = 0;
    // Diagnostics.
    let failureStage = "";
    let stage = "idle";
    let history = ["idle"];
    let dropped = 0;
    let lastDropOrigin = "";

    function hasOwn(object, name) {
        return Object.prototype.hasOwnProperty.call(object, name);
    }

    // Reads only the object's own member, never one inherited from a prototype.
    function own(object, name) {
        return hasOwn(object, name) ? object[name] : undefined;
    }

    function matches(pattern, value) {
        return typeof value === "string" && pattern.test(value);
    }

    function isPlainObject(value) {
        if (value === null || typeof value !== "object")
            return false;
        const prototype = Object.getPrototypeOf(value);
        return prototype === Object.prototype || prototype === null;
    }

    function hasForbiddenMember(object) {
        return hasOwn(object, "__proto__") || hasOwn(object, "constructor");
    }

    function hasExactly(value, names) {
        return isPlainObject(value) && Reflect.ownKeys(value).length === names.length
            && names.every((name) => hasOwn(value, name));
    }

    function isCount(value) {
        return Number.isSafeInteger(value) && value >= 0;
    }

    function isSizeBound(value) {
        return Number.isFinite(value) && value >= 0 && value <= MAX_SIZE;
    }

    function isSize(value) {
        return hasExactly(value, SIZE_MEMBERS) && isSizeBound(value.width) && isSizeBound(value.height);
    }

    function sizeCopy(size) {
        return {width: size.width, height: size.height};
    }

    // Whether the UTF-8 form of the text has at most limit bytes (a lone surrogate counts as the
    // three bytes of its replacement character).
    function utf8Within(text, limit) {
        if (text.length > limit)
            return false;
        if (text.length * 3 <= limit)
            return true;
        let bytes = 0;
        for (let i = 0; i < text.length && bytes <= limit; ++i) {
            const unit = text.charCodeAt(i);
            if (unit < 0x80) {
                bytes += 1;
            } else if (unit < 0x800) {
                bytes += 2;
            } else if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < text.length
                       && (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
                bytes += 4;
                ++i;
            } else {
                bytes += 3;
            }
        }
        return bytes <= limit;
    }

    function serialisedWithin(value, limit) {
        let text;
        try {
            text = JSON.stringify(value);
        } catch (error) {
            // Cycles and BigInt values survive postMessage but have no JSON form; nesting deep
            // enough to exhaust the stack lands here too.
            return false;
        }
        return typeof text === "string" && utf8Within(text, limit);
    }

    function randomToken() {
        const bytes = new Uint8Array(16);
        crypto.getRandomValues(bytes);
        return btoa(String.fromCharCode(...bytes)).replace(/\+/g, "-").replace(/\//g, "_")
            .replace(/=+$/, "");
    }

    function freshMessageId() {
        return "msg_" + randomToken();
    }

    function setTitle(title) {
        document.title = title;
    }

    function setStage(next) {
        stage = next;
        if (history[history.length - 1] !== next && history.length < MAX_HISTORY)
            history.push(next);
    }

    function fail(failedStage) {
        failureStage = failedStage;
        setStage("failed:" + failedStage);
        setTitle("talvorine:error");
    }

    function text(value) {
        try {
            return String(value);
        } catch (error) {
            return "";
        }
    }

    // ---- Configuration

    function featuresValid(value) {
        return Array.isArray(value) && value.length >= 1 && value.length <= MAX_FEATURES
            && value.every((kind) => matches(KIND, kind)) && new Set(value).size === value.length;
    }

    function packageSourceRefusal(config, source) {
        const expected = text(config.expectedOrigin);
        const host = source.hostname;
        if (config.uploadedApplication !== true)
            return "package_upload";
        if (source.protocol !== "talvorine-app:")
            return "package_scheme";
        if (!PACKAGE_HOST.test(host))
            return "package_host";
        if (expected === "")
            return "package_origin_empty";
        if (expected !== "talvorine-app://" + host)
            return "package_origin_mismatch";
        if (source.username !== "" || source.password !== "" || source.port !== ""
            || source.search !== "" || source.hash !== "")
            return "package_options";
        return "";
    }

    function contextRefusal(context) {
        if (!hasExactly(context, CONTEXT_MEMBERS))
            return "context_keys";
        for (const [name, valid] of CONTEXT_RULES) {
            if (!valid(context[name]))
                return "context_" + name;
        }
        return "";
    }

    // The parsed source, or the stage of the first rule the configuration breaks.
    function checkConfiguration(config) {
        if (!isPlainObject(config))
            return {refusal: "config"};
        let source;
        try {
            source = new URL(String(config.source));
        } catch (error) {
            return {refusal: "source"};
        }
        if (!featuresValid(config.features))
            return {refusal: "config_features"};
        const refusal = packageSourceRefusal(config, source) || contextRefusal(config.context);
        return refusal ? {refusal} : {source};
    }

    function configure(config) {
        teardown();
        failureStage = "";
        stage = "config-received";
        history = ["config-received"];

        const checked = checkConfiguration(config);
        if (checked.refusal) {
            fail(checked.refusal);
            return;
        }
        setStage("origin-checked");
        expectedOrigin = String(config.expectedOrigin);
        uploadedApplication = true;
        startupHeld = config.startupHeld === true;
        features = Object.freeze(config.features.slice());
        contextTemplate = JSON.parse(JSON.stringify(config.context));
        generation = contextTemplate.generation;

        const frame = document.createElement("iframe");
        frame.setAttribute("referrerpolicy", "no-referrer");
        frame.setAttribute("allow", "");
        frame.setAttribute("sandbox", "allow-scripts allow-same-origin");
        frame.style.background = "transparent";
        frame.style.visibility = "hidden";
        frame.addEventListener("load", () => {
            if (frame === iframe)
                beginHandshake();
        });
        frame.addEventListener("error", () => {
            if (frame === iframe)
                fail("child");
        });
        iframe = frame;
        frame.src = checked.source.href;
        document.body.appendChild(frame);
        window.addEventListener("message", receive);
        listening = true;
    }

    function teardown() {
        if (listening) {
            window.removeEventListener("message", receive);
            listening = false;
        }
        if (iframe) {
            const frame = iframe;
            iframe = null;
            frame.style.visibility = "hidden";
            frame.src = "about:blank";
            frame.remove();
        }
        expectedOrigin = "";
        uploadedApplication = false;
        contextTemplate = null;
        generation = -1;
        features = Object.freeze([]);
        resetFrameBinding();
        logCount = 0;
        eventCount = 0;
        kvCount = 0;
        setStage("stopped");
        setTitle("talvorine:stopped");
    }

    // ---- Handshake and context

    function resetFrameBinding() {
        challenge = "";
        childParentOrigin = "";
        handshakeComplete = false;
        contextSent = false;
        ready = false;
        advanced = false;
        seenIds = new Set();
        pendingLogs = [];
        pendingEvents = [];
        pendingKvRequests = [];
        awaitingEvents = new Set();
        awaitingKv = new Map();
    }

    function post(message) {
        const target = iframe && iframe.contentWindow;
        if (target)
            target.postMessage(message, expectedOrigin);
    }

    function beginHandshake() {
        resetFrameBinding();
        const token = randomToken();
        if (!NONCE.test(token)) {
            fail("nonce");
            return;
        }
        challenge = token;
        post({protocol: HANDSHAKE_PROTOCOL, kind: "parent.handshake", challenge});
        setStage("parent-handshake-sent");
    }

    function acceptHandshake(data) {
        // Before the frame's load event there is no challenge yet, and nothing may open the binding.
        if (challenge === "" || hasForbiddenMember(data) || own(data, "protocol") !== HANDSHAKE_PROTOCOL
            || own(data, "kind") !== "child.handshake" || own(data, "challenge") !== challenge
            || own(data, "parent_origin") !== window.origin)
            return;
        handshakeComplete = true;
        childParentOrigin = data.parent_origin;
        setStage("parent-handshake-ack");
        if (startupHeld)
            setTitle("talvorine:prepared");
        else
            sendContext();
    }

    function envelope(kind, payload) {
        return {
            protocol: APPLICATION_PROTOCOL,
            message_id: freshMessageId(),
            kind,
            primitive_id: contextTemplate.primitive_id,
            payload,
        };
    }

    function sendContext() {
        if (!handshakeComplete || startupHeld || contextSent)
            return;
        const payload = JSON.parse(JSON.stringify(contextTemplate));
        payload.placement = sizeCopy(contextTemplate.primitive);
        payload.features = features.slice();
        payload.nonce = challenge;
        payload.player_origin = childParentOrigin;
        contextSent = true;
        post(envelope("context", payload));
        setStage("context-sent");
    }

    function present() {
        startupHeld = false;
        sendContext();
    }

    // ---- Inbound messages

    function receive(event) {
        if (!iframe)
            return;
        if (event.origin !== expectedOrigin) {
            ++dropped;
            lastDropOrigin = event.origin;
            return;
        }
        if (event.source !== iframe.contentWindow || !isPlainObject(event.data))
            return;
        if (!handshakeComplete) {
            acceptHandshake(event.data);
            return;
        }
        const message = readEnvelope(event.data);
        if (!message || seenIds.has(message.id))
            return;
        seenIds.add(message.id);
        if (seenIds.size > SEEN_MESSAGE_IDS)
            seenIds.delete(seenIds.values().next().value);
        act(message);
    }

    function readEnvelope(data) {
        if (hasForbiddenMember(data))
            return null;
        const id = own(data, "message_id");
        const kind = own(data, "kind");
        const payload = own(data, "payload");
        if (own(data, "protocol") !== APPLICATION_PROTOCOL || !matches(MESSAGE_ID, id)
            || !matches(KIND, kind) || own(data, "primitive_id") !== contextTemplate.primitive_id
            || !isPlainObject(payload) || hasForbiddenMember(payload)
            || own(payload, "generation") !== generation || own(payload, "nonce") !== challenge)
            return null;
        const limit = kind === "kv.set" ? MAX_KV_SET_MESSAGE_BYTES : MAX_MESSAGE_BYTES;
        if (!serialisedWithin(data, limit))
            return null;
        return {id, kind, payload};
    }

    function act(message) {
        const {id, kind, payload} = message;
        if (kind === "ready") {
            if (!ready)
                markReady(id);
        } else if (kind === "page.advance") {
            if (ready)
                advance(id);
        } else if (kind === "log") {
            const entry = readLog(payload);
            if (entry && pendingLogs.length < MAX_PENDING_LOGS) {
                pendingLogs.push(entry);
                setTitle("talvorine:log:" + ++logCount);
            }
        } else if (kind === "event.emit") {
            const code = own(payload, "code");
            if (matches(EVENT_CODE, code))
                queueEvent(id, code);
        } else if (KV_CAPABILITY.has(kind)) {
            queueKv(id, kind, payload);
        } else if (!PROTOCOL_KINDS.has(kind)) {
            localProblem(id, "not_supported", 501, "This Player does not support the requested kind.");
        }
    }

    function markReady(id) {
        ready = true;
        iframe.style.visibility = "visible";
        iframe.focus();
        ack(id);
        setStage("ready");
        setTitle("talvorine:ready");
    }

    function advance(id) {
        if (contextTemplate.capabilities["page.advance"] !== true) {
            localProblem(id, "forbidden", 403, "Page advance is not available.");
        } else if (advanced) {
            localProblem(id, "forbidden", 403, "Page advance was already used.");
        } else {
            advanced = true;
            ack(id);
            setTitle("talvorine:advance");
        }
    }

    function readLog(payload) {
        const level = own(payload, "level");
        const code = own(payload, "code");
        const message = own(payload, "message");
        if (!LOG_LEVELS.has(level) || !matches(LOG_CODE, code) || typeof message !== "string"
            || !utf8Within(message, MAX_LOG_BYTES))
            return null;
        return {level, code, message};
    }

    function queueEvent(id, code) {
        if (awaitingEvents.size >= MAX_PENDING_REQUESTS) {
            localProblem(id, "rate_limited", 429, "Too many pending events.");
            return;
        }
        awaitingEvents.add(id);
        pendingEvents.push({code, requestId: id});
        setTitle("talvorine:event:" + ++eventCount);
    }

    function queueKv(id, kind, payload) {
        if (contextTemplate.capabilities[KV_CAPABILITY.get(kind)] !== true) {
            localProblem(id, "forbidden", 403, "Application K/V is not available.");
            return;
        }
        const request = readKvRequest(kind, payload);
        if (!request)
            return;
        if (awaitingKv.size >= MAX_PENDING_REQUESTS) {
            localProblem(id, "rate_limited", 429, "Too many pending requests.");
            return;
        }
        awaitingKv.set(id, kind);
        pendingKvRequests.push({requestId: id, request});
        setTitle("talvorine:kv:" + ++kvCount);
    }

    // A key is one path segment of the service's store: the dot segments would address the
    // application's own resource or its whole collection once the request is on the wire.
    function validKey(key) {
        return typeof key === "string" && key.length > 0 && utf8Within(key, MAX_KEY_BYTES)
            && !key.startsWith(RESERVED_KEY_PREFIX) && key !== "." && key !== "..";
    }

    function readKvRequest(kind, payload) {
        if (kind === "kv.list")
            return {kind};
        const key = own(payload, "key");
        if (!validKey(key))
            return null;
        if (kind === "kv.get")
            return {kind, key};

        const idempotencyKey = own(payload, "idempotency_key");
        if (!matches(IDEMPOTENCY_KEY, idempotencyKey))
            return null;
        const request = {kind, key, idempotency_key: idempotencyKey};
        const revision = own(payload, "expected_revision");
        if (revision !== undefined) {
            if (!isCount(revision))
                return null;
            request.expected_revision = revision;
        }
        if (kind === "kv.delete")
            return request;

        const value = own(payload, "value_base64");
        const contentType = own(payload, "content_type");
        if (typeof value !== "string" || value.length > MAX_KV_VALUE_BASE64_LENGTH
            || value.length % 4 !== 0 || !BASE64.test(value))
            return null;
        if (typeof contentType !== "string" || contentType.length < 1
            || contentType.length > MAX_CONTENT_TYPE_LENGTH)
            return null;
        request.value_base64 = value;
        request.content_type = contentType;
        return request;
    }

    // ---- Answers

    function answer(requestId, kind, members) {
        post(envelope(kind, Object.assign(
            {request_message_id: requestId, generation, nonce: challenge}, members)));
    }

    function ack(requestId, result) {
        answer(requestId, "response.ack", result === undefined ? {} : {result});
    }

    function problem(requestId, details) {
        answer(requestId, "response.problem", {problem: details});
    }

    function localProblem(requestId, code, status, detail) {
        problem(requestId, {code, status, detail, request_id: freshMessageId()});
    }

    function readStatus(value) {
        if (value === true)
            return 204;
        if (value === false)
            return 0;
        let number;
        try {
            number = Number(value);
        } catch (error) {
            return 0;
        }
        return Number.isSafeInteger(number) ? number : 0;
    }

    function parseObject(body, refuseForbidden) {
        if (typeof body !== "string")
            return null;
        let value;
        try {
            value = JSON.parse(body);
        } catch (error) {
            return null;
        }
        if (!isPlainObject(value) || (refuseForbidden && hasForbiddenMember(value)))
            return null;
        return value;
    }

    function backendProblem(status, body, fallbackCode, fallbackStatus) {
        const answered = parseObject(body, true) || {};
        const code = matches(PROBLEM_CODE, own(answered, "code")) ? answered.code : "";
        const counting = Number.isSafeInteger(status) && status >= 400 && status <= 599;
        const details = {
            code: code || fallbackCode,
            status: code && counting ? status : fallbackStatus,
        };
        details.detail = details.code;
        const requestId = own(answered, "request_id");
        details.request_id = typeof requestId === "string" && requestId.length > 0
            && requestId.length <= MAX_REQUEST_ID_LENGTH ? requestId : freshMessageId();
        const revision = own(answered, "current_revision");
        if (isCount(revision))
            details.current_revision = revision;
        return details;
    }

    function readSummary(item) {
        if (!isPlainObject(item))
            return null;
        const summary = {};
        for (const name of ["application_id", "key", "content_type"]) {
            summary[name] = own(item, name);
            if (typeof summary[name] !== "string")
                return null;
        }
        for (const name of ["bytes", "revision"]) {
            summary[name] = own(item, name);
            if (!isCount(summary[name]))
                return null;
        }
        summary.sha256 = own(item, "sha256");
        if (!matches(DIGEST, summary.sha256))
            return null;
        for (const name of ["created_at", "updated_at"]) {
            if (typeof own(item, name) === "string")
                summary[name] = item[name];
        }
        return summary;
    }

    function readEntry(answered) {
        const summary = readSummary(answered);
        const value = own(answered, "value_base64");
        if (!summary || typeof value !== "string")
            return null;
        return {
            application_id: summary.application_id,
            key: summary.key,
            value_base64: value,
            content_type: summary.content_type,
            bytes: summary.bytes,
            sha256: summary.sha256,
            revision: summary.revision,
        };
    }

    function readList(answered) {
        const items = own(answered, "items");
        if (!Array.isArray(items))
            return null;
        return {items: items.slice(0, LIST_ANSWER_CAP).map(readSummary).filter((item) => item)};
    }

    function completeEvent(requestId, status, body) {
        if (!awaitingEvents.delete(requestId))
            return;
        const code = readStatus(status);
        if (code >= 200 && code <= 299)
            ack(requestId);
        else
            problem(requestId, backendProblem(code, body, "event_delivery_failed", 503));
    }

    function completeKv(requestId, status, body) {
        const kind = awaitingKv.get(requestId);
        if (kind === undefined)
            return;
        awaitingKv.delete(requestId);
        const code = readStatus(status);
        if (code < 200 || code > 299) {
            problem(requestId, code === 0
                ? backendProblem(code, body, "dependency_unavailable", 503)
                : backendProblem(code, body, "internal_error", 500));
            return;
        }
        if (kind === "kv.delete") {
            ack(requestId);
            return;
        }
        const answered = parseObject(body, false);
        const result = answered && (kind === "kv.list" ? readList(answered) : readEntry(answered));
        if (result)
            ack(requestId, result);
        else
            localProblem(requestId, "internal_error", 500, "The K/V answer could not be read.");
    }

    // ---- Native side

    function updateGeometry(viewport, primitive) {
        if (!uploadedApplication || !handshakeComplete || !isSize(viewport) || !isSize(primitive))
            return;
        contextTemplate.viewport = sizeCopy(viewport);
        contextTemplate.primitive = sizeCopy(primitive);
        post(envelope("viewport.changed", {
            generation,
            nonce: challenge,
            viewport: sizeCopy(viewport),
            primitive: sizeCopy(primitive),
            placement: sizeCopy(primitive),
        }));
    }

    function diagnostics() {
        return {
            stage,
            stages: history.slice(),
            origin: window.origin,
            dropped,
            last_drop_origin: lastDropOrigin,
        };
    }

    Object.defineProperty(window, "talvorineNativeWrapper", {
        enumerable: true,
        value: Object.freeze({
            get failureStage() { return failureStage; },
            get handshakeStage() { return stage; },
            diagnostics,
            configure,
            present,
            takeLogs: () => pendingLogs.splice(0),
            takeEvents: () => pendingEvents.splice(0),
            takeKvRequests: () => pendingKvRequests.splice(0),
            completeEvent,
            completeKv,
            updateGeometry,
            teardown,
        }),
    });
})();
