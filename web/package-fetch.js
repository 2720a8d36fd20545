// Runs first in every frame of a web package's pages where the engine cannot open the package
// scheme to fetch() (Qt before 6.6; XMLHttpRequest it can). A plain GET of one of the package's
// own files is read through XMLHttpRequest, so the request interceptor and the scheme handler
// judge it exactly as they judge the page's own XMLHttpRequest, and it is answered as fetch()
// answers: a Response with the served status and headers, or a TypeError when the file is
// refused. Every other request goes to the engine's fetch() untouched.
(function () {
    "use strict";

    if (location.protocol !== "talvorine-app:")
        return;
    // The page may replace any of these later; the answers keep the originals.
    const engineFetch = window.fetch;
    const PlainRequest = Request;
    const PlainResponse = Response;
    const PlainHeaders = Headers;
    const PlainUrl = URL;
    const Reader = XMLHttpRequest;

    function plainInit(init) {
        return init === undefined || init === null
            || (typeof init === "object" && init.body == null && init.signal == null
                && !init.integrity && !init.keepalive
                && (init.method === undefined || String(init.method).toUpperCase() === "GET"));
    }

    function plainRequest(request) {
        return request.method === "GET" && !request.integrity && !request.keepalive
            && !request.signal.aborted;
    }

    // The address of the package's own file that the call asks for, or "" when the call is not
    // a plain GET of one given as a text, a URL or a Request of this frame.
    function ownFile(args) {
        const input = args[0];
        const request = input instanceof PlainRequest ? input : null;
        if (args.length === 0 || (request ? args.length > 1 || !plainRequest(request)
                                          : !plainInit(args[1])))
            return "";
        if (!request && typeof input !== "string" && !(input instanceof PlainUrl))
            return "";
        const url = new PlainUrl(request ? request.url : String(input), document.baseURI);
        if (url.protocol !== location.protocol || url.host !== location.host || url.username
            || url.password)
            return "";
        url.hash = "";
        return url.href;
    }

    function responseHeaders(reader) {
        const headers = new PlainHeaders();
        for (const line of reader.getAllResponseHeaders().split("\r\n")) {
            const colon = line.indexOf(":");
            if (colon > 0)
                headers.append(line.slice(0, colon), line.slice(colon + 1).trim());
        }
        return headers;
    }

    // A Request always carries a signal, so its own is honoured; a call that brings one in its
    // options goes to the engine.
    function read(url, signal) {
        return new Promise((resolve, reject) => {
            const reader = new Reader();
            const stop = () => reader.abort();
            reader.open("GET", url);
            reader.responseType = "arraybuffer";
            reader.onload = () => {
                if (reader.status < 200 || reader.status > 299) {
                    reject(new TypeError("Failed to fetch"));
                    return;
                }
                resolve(new PlainResponse(reader.response, {
                    status: reader.status, statusText: reader.statusText,
                    headers: responseHeaders(reader),
                }));
            };
            reader.onerror = () => reject(new TypeError("Failed to fetch"));
            if (signal) {
                reader.onabort = () => reject(signal.reason);
                signal.addEventListener("abort", stop, {once: true});
                reader.onloadend = () => signal.removeEventListener("abort", stop);
            }
            reader.send();
        });
    }

    window.fetch = function fetch() {
        let url = "";
        try {
            url = ownFile(arguments);
        } catch (error) {
            // An address that does not parse: the engine rejects it as it always does.
        }
        if (url === "")
            return engineFetch.apply(this, arguments);
        const input = arguments[0];
        return read(url, input instanceof PlainRequest ? input.signal : null);
    };
})();
