// The sample run's web application: a clock for a lobby screen that counts, in the screen's
// key-value store, how many times it has been shown, and hands the glass back after a while.
(function () {
    "use strict";

    const HANDSHAKE_PROTOCOL = "talvorine.parent-handshake/1";
    const COUNT_KEY = "times-shown";
    const SHOW_FOR_MS = 20000;

    let parentOrigin = "";
    let context = null;
    let serial = 0;
    const pending = new Map();
    const tag = Math.random().toString(36).slice(2, 10).padEnd(8, "0");

    function tick() {
        const now = new Date();
        document.getElementById("time").textContent =
            now.toLocaleTimeString([], {hour: "2-digit", minute: "2-digit"});
        document.getElementById("date").textContent =
            now.toLocaleDateString([], {weekday: "long", day: "numeric", month: "long"});
    }
    tick();
    setInterval(tick, 1000);

    function send(kind, payload, answered) {
        const id = "app-" + tag + "-" + ++serial;
        if (answered)
            pending.set(id, answered);
        window.parent.postMessage({
            protocol: "1",
            message_id: id,
            kind,
            primitive_id: context.primitive_id,
            payload: Object.assign({generation: context.generation, nonce: context.nonce}, payload),
        }, parentOrigin);
    }

    function showCount(count) {
        document.getElementById("shows").textContent =
            count === 1 ? "Shown for the first time" : "Shown " + count + " times";
    }

    // The count is read, then written back one higher against the revision read, so that two
    // showings never write the same count.
    function countThisShowing() {
        send("kv.get", {key: COUNT_KEY}, (answer) => {
            let count = 1;
            const write = {key: COUNT_KEY, idempotency_key: "count-" + tag, content_type: "text/plain"};
            if (answer.kind === "response.ack") {
                count = (parseInt(atob(answer.payload.result.value_base64), 10) || 0) + 1;
                write.expected_revision = answer.payload.result.revision;
            }
            write.value_base64 = btoa(String(count));
            send("kv.set", write, (written) => {
                if (written.kind === "response.ack")
                    showCount(count);
            });
        });
    }

    window.addEventListener("message", (event) => {
        const data = event.data;
        if (event.source !== window.parent || data === null || typeof data !== "object")
            return;
        if (data.protocol === HANDSHAKE_PROTOCOL && data.kind === "parent.handshake") {
            parentOrigin = event.origin;
            window.parent.postMessage({protocol: HANDSHAKE_PROTOCOL, kind: "child.handshake",
                                       challenge: data.challenge, parent_origin: parentOrigin},
                                      parentOrigin);
        } else if (data.protocol === "1" && data.kind === "context" && context === null) {
            context = data.payload;
            send("ready", {});
            countThisShowing();
            setTimeout(() => send("page.advance", {}), SHOW_FOR_MS);
        } else if (data.protocol === "1" && data.payload) {
            const answered = pending.get(data.payload.request_message_id);
            pending.delete(data.payload.request_message_id);
            if (answered)
                answered(data);
        }
    });
})();
