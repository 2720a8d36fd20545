// A web application of the player's own tests. It speaks the application side of the trusted
// wrapper's protocol and does what its scenario and its test ask, including what no honest
// application would: broken handshakes, malformed and oversized messages, replays, floods and
// reloads of itself. It tells the test what it received through ordinary "log" messages, which
// the test takes from the wrapper where the native side would.
//
// The scenario comes from scenario.js of the same package (window.stubScenario):
//   handshake  "answer" (default) answers the parent's handshake at once; "wait" leaves it to a
//              "handshake" command
//   ready      true (default) sends "ready" as soon as the context arrives
//   reloads    reloads itself at each context until it has done so that many times
//   early      a parent origin: at once, before any challenge, posts a child handshake with an
//              empty challenge and that parent origin
//   paint      a CSS colour the application fills its document with, for window grabs
//   before     message templates (as for "send") sent at the context; "ready" waits for their
//              answers (then posts those of withReady), as an application loading its state does
// Commands come from the wrapper's window (a script the test runs there) as
// {protocol: "talvorine.stub/1", command, id, ...}:
//   send       posts every message of `messages`, then reports the answers received up to a barrier
//   nested     the same, posted from a second window of this origin inside the application
//   handshake  posts every child handshake of `variants` (each a list of [name, value] members
//              set over the correct one), then a log message that only an open binding would
//              take (for `generation` and `primitive_id`), then the correct handshake
//   reload     reloads the application's document
//   exhaust    fills the heap until the render process ends
//   fuzz       sends `count` hostile messages from a generator seeded with `seed`, checks every
//              answer against what it meant to send, then sends "ready"
//   report     reports what the fuzz found
// A message template is {raw: value}, sent as it is, or {kind, payload, message_id, protocol,
// primitive_id, omit: [paths], define: [[path, value]], fill: bytes}: the envelope comes from the
// context, payload members go beside generation and nonce, omitted paths are removed, defined
// members become own properties (so that "__proto__" stays a member), and fill pads the payload
// until the message serialises to exactly that many UTF-8 bytes.
//
// Reports, all "info" logs whose message is compact JSON:
//   stub.context   the context payload, at every context
//   stub.viewport  the payload of every "viewport.changed"
//   stub.answer    {command, id, kind: "ack" or "problem", problem, result, envelope: whether the
//                  answer's own envelope was right}, one per answer since the last report
//   stub.done      {command, answers}, after the answers of a command
//   stub.fuzz      {sent, answers, notSupported, rateLimited, violations, first}
(function () {
    "use strict";

    const HANDSHAKE_PROTOCOL = "talvorine.parent-handshake/1";
    const COMMAND_PROTOCOL = "talvorine.stub/1";
    const MAX_LOG_BYTES = 2048;
    const scenario = Object.assign({handshake: "answer", ready: true}, window.stubScenario || {});
    const encoder = new TextEncoder();
    // Message ids of this document, distinct from those of the document before a reload.
    const documentTag = "s" + Math.random().toString(36).slice(2, 10).padEnd(8, "0");

    let serial = 0;
    let challenge = "";
    let parentOrigin = "";
    let context = null;
    let answers = [];
    const barriers = new Map();
    const ownIds = new Set();
    let fuzzSummary = null;

    window.addEventListener("message", receive);
    if (scenario.paint)
        document.documentElement.style.background = scenario.paint;
    // A child that answers before it was asked, while the wrapper has no challenge yet.
    if (scenario.early)
        window.parent.postMessage(childHandshake({parent_origin: scenario.early}), "*");

    function hasOwn(object, name) {
        return Object.prototype.hasOwnProperty.call(object, name);
    }

    function nextId() {
        return documentTag + "-" + ++serial;
    }

    function bytesOf(value) {
        return encoder.encode(JSON.stringify(value)).length;
    }

    function post(message) {
        window.parent.postMessage(message, parentOrigin);
    }

    function receive(event) {
        if (event.source !== window.parent)
            return;
        const data = event.data;
        if (data === null || typeof data !== "object")
            return;
        if (data.protocol === COMMAND_PROTOCOL)
            run(data);
        else if (data.protocol === HANDSHAKE_PROTOCOL && data.kind === "parent.handshake")
            handshake(data, event.origin);
        else if (data.protocol === "1")
            fromWrapper(data);
    }

    function handshake(data, origin) {
        challenge = data.challenge;
        parentOrigin = origin;
        if (scenario.handshake === "answer")
            post(childHandshake({}));
    }

    function childHandshake(members) {
        return Object.assign(
            {protocol: HANDSHAKE_PROTOCOL, kind: "child.handshake", challenge, parent_origin: parentOrigin},
            members);
    }

    function fromWrapper(message) {
        const payload = message.payload || {};
        if (message.kind === "context") {
            context = payload;
            report("stub.context", payload);
            const reloaded = Number(sessionStorage.getItem("reloaded") || 0);
            if (reloaded < (scenario.reloads || 0)) {
                sessionStorage.setItem("reloaded", String(reloaded + 1));
                location.reload();
            } else if (scenario.ready) {
                Promise.all((scenario.before || []).map((template) => new Promise((answered) => {
                    const message = build(template);
                    barriers.set(message.message_id, answered);
                    post(message);
                }))).then(() => {
                    (scenario.withReady || []).forEach((template) => post(build(template)));
                    sendOwn({kind: "ready"});
                });
            }
        } else if (message.kind === "viewport.changed") {
            report("stub.viewport", payload);
        } else if (message.kind === "response.ack" || message.kind === "response.problem") {
            const id = payload.request_message_id;
            if (barriers.has(id)) {
                const finish = barriers.get(id);
                barriers.delete(id);
                finish();
            } else if (!ownIds.delete(id)) {
                answers.push(describeAnswer(message));
            }
        }
    }

    function answerEnvelopeValid(message) {
        const payload = message.payload;
        return message.protocol === "1" && /^msg_[A-Za-z0-9_-]{22}$/.test(message.message_id)
            && message.primitive_id === context.primitive_id && payload.generation === context.generation
            && payload.nonce === context.nonce && typeof payload.request_message_id === "string"
            && (message.kind === "response.ack" || hasOwn(payload, "problem"));
    }

    function describeResult(result) {
        if (result && Array.isArray(result.items)) {
            return {
                items: result.items.length,
                keys: result.items.map((item) => item.key).join(","),
                members: result.items.length ? Object.keys(result.items[0]).sort().join(",") : "",
            };
        }
        return result;
    }

    function describeAnswer(message) {
        const payload = message.payload;
        const described = {
            id: payload.request_message_id,
            kind: message.kind === "response.ack" ? "ack" : "problem",
            envelope: answerEnvelopeValid(message),
        };
        if (hasOwn(payload, "problem"))
            described.problem = payload.problem;
        if (hasOwn(payload, "result"))
            described.result = describeResult(payload.result);
        return described;
    }

    // ---- Messages of the stub's own, never reported as answers

    function envelope(kind, payload) {
        return {
            protocol: "1",
            message_id: nextId(),
            kind,
            primitive_id: context.primitive_id,
            payload: Object.assign({generation: context.generation, nonce: context.nonce}, payload),
        };
    }

    function sendOwn(template) {
        const message = envelope(template.kind, template.payload || {});
        ownIds.add(message.message_id);
        post(message);
    }

    function report(code, value) {
        let message = JSON.stringify(value);
        if (encoder.encode(message).length > MAX_LOG_BYTES)
            message = JSON.stringify({oversized: code});
        sendOwn({kind: "log", payload: {level: "info", code, message}});
    }

    // The wrapper answers an unknown kind at once and in order, so when the barrier's answer
    // arrives, every message sent before it has been handled.
    function afterBarrier(finish) {
        const barrier = envelope("stub.barrier", {});
        barriers.set(barrier.message_id, finish);
        post(barrier);
    }

    function reportAnswers(command) {
        afterBarrier(() => {
            const reported = answers;
            answers = [];
            for (const answer of reported)
                report("stub.answer", Object.assign({command}, answer));
            report("stub.done", {command, answers: reported.length});
        });
    }

    // ---- Commands

    function run(command) {
        switch (command.command) {
        case "send":
            for (const template of command.messages)
                post(build(template));
            reportAnswers(command.id);
            break;
        case "nested":
            sendFromNestedWindow(command.messages.map(build));
            reportAnswers(command.id);
            break;
        case "handshake":
            for (const variant of command.variants)
                post(defineAll(childHandshake({}), variant));
            post({
                protocol: "1",
                message_id: nextId(),
                kind: "log",
                primitive_id: command.primitive_id,
                payload: {generation: command.generation, nonce: challenge, level: "info",
                          code: "stub.premature", message: "the binding opened too early"},
            });
            post(childHandshake({}));
            break;
        case "reload":
            location.reload();
            break;
        case "exhaust":
            exhaustHeap();
            break;
        case "fuzz":
            fuzz(command.seed, command.count);
            break;
        case "report":
            report("stub.fuzz", fuzzSummary);
            break;
        }
    }

    // Grows the heap until the renderer's limit ends the render process.
    function exhaustHeap() {
        const hoard = [];
        for (;;)
            hoard.push(new Array(1 << 20).fill(hoard.length));
    }

    // The source of a message is the window whose script posts it, so the function that posts is
    // made inside a second window of this origin.
    function sendFromNestedWindow(messages) {
        const frame = document.createElement("iframe");
        document.body.appendChild(frame);
        const postFrom = new frame.contentWindow.Function(
            "target", "message", "origin", "target.postMessage(message, origin);");
        for (const message of messages)
            postFrom(window.parent, message, parentOrigin);
        frame.remove();
    }

    function objectAt(root, path) {
        const names = path.split(".");
        const last = names.pop();
        let target = root;
        for (const name of names)
            target = target[name];
        return [target, last];
    }

    // Members given as [name, value] pairs become own properties, whatever their names.
    function defineAll(object, members) {
        for (const [name, value] of members) {
            Object.defineProperty(object, name,
                {value, enumerable: true, writable: true, configurable: true});
        }
        return object;
    }

    function build(template) {
        if (hasOwn(template, "raw"))
            return template.raw;
        const message = envelope(template.kind, template.payload || {});
        for (const name of ["message_id", "protocol", "primitive_id"]) {
            if (hasOwn(template, name))
                message[name] = template[name];
        }
        for (const path of template.omit || []) {
            const [target, name] = objectAt(message, path);
            delete target[name];
        }
        for (const [path, value] of template.define || []) {
            const [target, name] = objectAt(message, path);
            defineAll(target, [[name, value]]);
        }
        if (template.fill) {
            message.payload.filler = "";
            message.payload.filler = "x".repeat(template.fill - bytesOf(message));
        }
        return message;
    }

    // ---- The hostile generator

    function mulberry32(seed) {
        let state = seed >>> 0;
        return () => {
            state = (state + 0x6d2b79f5) >>> 0;
            let t = state;
            t = Math.imul(t ^ (t >>> 15), t | 1);
            t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
            return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
        };
    }

    function fuzz(seed, count) {
        const random = mulberry32(seed);
        answers = [];
        const below = (n) => Math.floor(random() * n);
        const pick = (list) => list[below(list.length)];
        // What each message id may get back: "none", "not_supported" (exactly once) or "queue"
        // (nothing, or rate_limited once the queue is full).
        const expected = new Map();
        const accepted = [];
        let sent = 0;
        let floods = 0;

        const PROTOCOL_KINDS = ["context", "ready", "log", "event.emit", "page.advance",
                                "viewport.changed", "kv.get", "kv.list", "kv.set", "kv.delete",
                                "response.ack", "response.problem"];
        const PROTOTYPE_NAMES = ["prototype", "toString", "valueOf", "hasOwnProperty", "toJSON",
                                 "__defineGetter__", "then", "isPrototypeOf"];

        function junkString(length) {
            const alphabets = ["abcXYZ019", " \t\n\"\\/", "\u00e9\u4e2d\u0000", "\ud83d\ude00",
                               "\ud800", "\udc00"];
            let text = "";
            while (text.length < length)
                text += pick(alphabets);
            return text.slice(0, length);
        }

        function junk(depth) {
            switch (below(depth > 0 ? 9 : 6)) {
            case 0: return null;
            case 1: return random() < 0.5;
            case 2: return pick([0, -1, 1.5, 1e308, -0, Number.MAX_SAFE_INTEGER + 2, NaN, Infinity]);
            case 3: return junkString(below(64));
            case 4: return junkString(below(8000));
            case 5: return pick(PROTOTYPE_NAMES);
            case 6: return [junk(depth - 1), junk(depth - 1)];
            case 7: {
                const object = {};
                object[pick(PROTOTYPE_NAMES)] = junk(depth - 1);
                object[junkString(4)] = junk(depth - 1);
                return object;
            }
            default: {
                let nested = junk(0);
                for (let level = below(400); level > 0; --level)
                    nested = random() < 0.5 ? [nested] : {deeper: nested};
                return nested;
            }
            }
        }

        function base(kind, payload) {
            return envelope(kind, payload || {});
        }

        function send(message, expectation) {
            try {
                post(message);
            } catch (error) {
                return; // not cloneable: it never left
            }
            ++sent;
            if (typeof message === "object" && message !== null && typeof message.message_id === "string") {
                if (!expected.has(message.message_id))
                    expected.set(message.message_id, expectation);
            }
        }

        // A message with a valid envelope, which the wrapper remembers by its id.
        function sendWellFormed(message, expectation) {
            send(message, expectation);
            accepted.push(message);
        }

        function anyKind() {
            return random() < 0.7 ? pick(PROTOCOL_KINDS) : "x." + junkString(3).replace(/[^a-z0-9]/g, "q");
        }

        function unknownKind() {
            return "fuzz." + pick(["alpha", "beta", "gamma"]) + below(1000);
        }

        function validKvPayload(kind) {
            const payload = {key: "key-" + below(50), idempotency_key: "idem-" + below(1e9) + "-fuzz"};
            if (random() < 0.3)
                payload.expected_revision = below(100);
            if (kind === "kv.set") {
                payload.value_base64 = pick(["", "QUJD", "QUI=", "QQ=="]);
                payload.content_type = "text/plain";
            }
            return payload;
        }

        const brokenKv = [
            (p) => { p.key = ""; }, (p) => { p.key = "."; }, (p) => { p.key = ".."; },
            (p) => { p.key = "_talvorine/x"; }, (p) => { p.key = "k".repeat(257); },
            (p) => { p.key = 7; }, (p) => { delete p.key; },
            (p) => { p.key = "\u00e9".repeat(129); },
            (p) => { p.idempotency_key = "short"; }, (p) => { p.idempotency_key = "with space"; },
            (p) => { p.idempotency_key = "i".repeat(201); }, (p) => { p.expected_revision = -1; },
            (p) => { p.expected_revision = 1.5; }, (p) => { p.expected_revision = "3"; },
            (p) => { p.expected_revision = null; },
            (p) => { p.value_base64 = "QUJ"; }, (p) => { p.value_base64 = "QU!D"; },
            (p) => { p.value_base64 = 12; }, (p) => { p.content_type = ""; },
            (p) => { p.content_type = "t".repeat(128); },
        ];

        const classes = [
            [4, () => { // a stale or foreign binding
                const message = base(anyKind(), {});
                pick([
                    () => { message.payload.nonce = junkString(22); },
                    () => { message.payload.nonce = context.nonce.toUpperCase() + "A"; },
                    () => { delete message.payload.nonce; },
                    () => { message.payload.generation = pick([context.generation + 1, -1, String(context.generation), context.generation + 0.5, null]); },
                    () => { message.primitive_id = pick(["other", context.primitive_id + "x", 1, null]); },
                    () => { message.protocol = pick([1, "2", "", null, "1 "]); },
                ])();
                send(message, "none");
            }],
            [3, () => { // envelope members of the wrong shape
                const message = base(unknownKind(), {});
                pick([
                    () => { message.kind = pick(["Upper", "", "k".repeat(65), 3, ["log"], "with space", "\u00e9t\u00e9"]); },
                    () => { message.message_id = pick(["short", "i".repeat(129), "has space!", 12345678, null]); },
                    () => { message.payload = pick([[], "payload", null, 7, [message.payload]]); },
                    () => { defineAll(message, [["__proto__", {}]]); },
                    () => { defineAll(message, [["constructor", "x"]]); },
                    () => { defineAll(message.payload, [["__proto__", null]]); },
                    () => { defineAll(message.payload, [["constructor", {}]]); },
                ])();
                send(message, "none");
            }],
            [2, () => { // not a message at all
                send(pick([null, 7, "a string", [1, 2], true, [envelope("ready", {})], new Date(0),
                           junkString(100)]), "none");
            }],
            [2, () => { // too large, or without a JSON form
                const message = base(unknownKind(), {});
                pick([
                    () => { message.payload.big = junkString(70000); },
                    () => { message.payload.self = message.payload; },
                    () => { message.payload.count = BigInt(12); },
                ])();
                send(message, "none");
            }],
            [6, () => { // well formed, of a kind the player does not know
                const message = base(unknownKind(), {});
                for (let members = below(4); members > 0; --members)
                    message.payload[pick(PROTOTYPE_NAMES.concat(["a", "b", "c"]))] = junk(3);
                let size = Infinity;
                try {
                    size = bytesOf(message);
                } catch (error) {
                    // no JSON form: the wrapper cannot measure it either
                }
                sendWellFormed(message, size <= 65536 ? "not_supported" : "none");
            }],
            [3, () => { // a replay of a message the wrapper took
                if (accepted.length === 0)
                    return;
                send(accepted[Math.max(0, accepted.length - 1 - below(100))], "none");
            }],
            [5, () => { // logs, good and bad, never answered
                const payload = {level: pick(["debug", "info", "warn", "error", "fatal", "INFO", 3]),
                                 code: pick(["app.start", "x", "bad code", "", "c".repeat(65)]),
                                 message: pick(["hello", junkString(3000), "\u00e9".repeat(1024), 42])};
                sendWellFormed(base("log", payload), "none");
            }],
            [4, () => { // events, good and bad
                const code = pick(["app.click", "e", "bad code", "", "e".repeat(65), 7]);
                const good = typeof code === "string" && /^[A-Za-z0-9._-]{1,64}$/.test(code);
                sendWellFormed(base("event.emit", {code}), good ? "queue" : "none");
            }],
            [6, () => { // key-value requests, good and bad
                const kind = pick(["kv.get", "kv.list", "kv.set", "kv.delete"]);
                const payload = validKvPayload(kind);
                const broken = kind !== "kv.list" && random() < 0.5;
                if (broken) {
                    const mutations = kind === "kv.set" ? brokenKv
                        : kind === "kv.delete" ? brokenKv.slice(0, 15) : brokenKv.slice(0, 8);
                    pick(mutations)(payload);
                }
                sendWellFormed(base(kind, payload), broken ? "none" : "queue");
            }],
            [2, () => { // what only the wrapper may send, and an advance before "ready"
                sendWellFormed(base(pick(["context", "viewport.changed", "response.ack",
                                          "response.problem", "page.advance"]),
                                    {request_message_id: "x".repeat(10), problem: junk(1)}), "none");
            }],
            [1, () => { // a flood of events, a few times: later floods only meet a full queue
                const burst = floods++ < 3 ? 80 : 1;
                for (let i = 0; i < burst; ++i)
                    sendWellFormed(base("event.emit", {code: "flood"}), "queue");
            }],
        ];
        const totalWeight = classes.reduce((sum, [weight]) => sum + weight, 0);

        while (sent < count) {
            let roll = below(totalWeight);
            for (const [weight, generate] of classes) {
                if (roll < weight) {
                    generate();
                    break;
                }
                roll -= weight;
            }
        }

        afterBarrier(() => {
            fuzzSummary = judge(expected, answers, sent);
            answers = [];
            sendOwn({kind: "ready"});
        });
    }

    function judge(expected, received, sent) {
        const summary = {sent, answers: received.length, notSupported: 0, rateLimited: 0,
                         violations: 0, first: []};
        const violation = (text) => {
            if (++summary.violations <= 5)
                summary.first.push(text);
        };
        const answered = new Set();
        for (const answer of received) {
            const expectation = expected.get(answer.id);
            if (!answer.envelope)
                violation("malformed answer to " + answer.id);
            if (answered.has(answer.id))
                violation("second answer to " + answer.id);
            answered.add(answer.id);
            const problem = answer.problem || {};
            if (expectation === "not_supported" && problem.code === "not_supported" && problem.status === 501) {
                ++summary.notSupported;
            } else if (expectation === "queue" && problem.code === "rate_limited" && problem.status === 429) {
                ++summary.rateLimited;
            } else {
                violation((expectation || "unknown") + " got " + JSON.stringify(answer).slice(0, 200));
            }
        }
        for (const [id, expectation] of expected) {
            if (expectation === "not_supported" && !answered.has(id))
                violation("no answer to " + id);
        }
        return summary;
    }
})();
