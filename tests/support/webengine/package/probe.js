'use strict';
var pending = {};

function reply(message) {
    parent.postMessage(message, '*');
}

function hex(buffer) {
    return Array.from(new Uint8Array(buffer), function (b) {
        return b.toString(16).padStart(2, '0');
    }).join('');
}

function request(message) {
    var xhr = new XMLHttpRequest();
    xhr.open(message.method || 'GET', message.url);
    xhr.responseType = 'arraybuffer';
    xhr.onload = function () {
        crypto.subtle.digest('SHA-256', xhr.response).then(function (digest) {
            reply({id: message.id, ok: true, status: xhr.status, size: xhr.response.byteLength,
                   sha256: hex(digest), type: xhr.getResponseHeader('content-type'),
                   headers: xhr.getAllResponseHeaders()});
        });
    };
    xhr.onerror = function () { reply({id: message.id, ok: false}); };
    xhr.onabort = function () { reply({id: message.id, ok: false, aborted: true}); };
    pending[message.id] = xhr;
    xhr.send();
}

// Many files at once, as a page loading its assets does; answers the bytes that arrived.
function loadAll(message) {
    var total = 0, failed = 0, left = message.paths.length;
    message.paths.forEach(function (path) {
        var xhr = new XMLHttpRequest();
        xhr.open('GET', path);
        xhr.responseType = 'arraybuffer';
        xhr.onloadend = function () {
            if (xhr.status === 200)
                total += xhr.response.byteLength;
            else
                failed += 1;
            if (--left === 0)
                reply({id: message.id, bytes: total, failed: failed});
        };
        xhr.send();
    });
}

// fetch() as the page's own code calls it: with a text, a URL or a Request, options as given
// ("signal": true brings a live one); the file read whole, or a module instantiated as it streams.
function fetchFile(message) {
    var init = Object.keys(message.init).length ? message.init : undefined;
    if (init && init.signal === true)
        init.signal = new AbortController().signal;
    var fetched = message.input === 'request' ? fetch(new Request(message.url, init))
        : fetch(message.input === 'url' ? new URL(message.url, location.href) : message.url, init);
    (message.instantiate ? WebAssembly.instantiateStreaming(fetched).then(function (source) {
        return {value: source.instance.exports.answer()};
    }) : fetched.then(function (response) {
        return response.arrayBuffer().then(function (bytes) {
            return crypto.subtle.digest('SHA-256', bytes);
        }).then(function (digest) {
            return {status: response.status, type: response.headers.get('content-type'),
                    sha256: hex(digest)};
        });
    })).then(function (answer) {
        answer.id = message.id;
        reply(answer);
    }, function (error) { reply({id: message.id, error: error.name}); });
}

function settle(promise, timeoutMs) {
    return Promise.race([promise.then(function () { return true; }, function () { return false; }),
                         new Promise(function (done) { setTimeout(function () { done(false); }, timeoutMs); })]);
}

function element(tag, attributes, ready) {
    return new Promise(function (resolve, reject) {
        var node = document.createElement(tag);
        node.addEventListener(ready, resolve);
        node.addEventListener('error', reject);
        Object.keys(attributes).forEach(function (key) { node.setAttribute(key, attributes[key]); });
        document.head.appendChild(node);
    });
}

// Every way a page loads one of its own files, each answering whether the file arrived.
var ways = {
    fetch: function () {
        return fetch('data.json').then(function (r) { return r.json(); })
            .then(function (data) { if (data.probe !== 1) throw 'content'; });
    },
    xhr: function () {
        return new Promise(function (resolve, reject) {
            var xhr = new XMLHttpRequest();
            xhr.open('GET', 'data.json');
            xhr.onload = function () { JSON.parse(xhr.responseText).probe === 1 ? resolve() : reject(); };
            xhr.onerror = reject;
            xhr.send();
        });
    },
    classic_script: function () {
        return element('script', {src: 'classic.js'}, 'load')
            .then(function () { if (window.classicLoaded !== 1) throw 'not run'; });
    },
    module_script: function () {
        return element('script', {src: 'module.mjs', type: 'module'}, 'load')
            .then(function () { if (window.moduleLoaded !== 1) throw 'not run'; });
    },
    dynamic_import: function () {
        return import('./module.mjs').then(function (m) { if (m.probe !== 1) throw 'content'; });
    },
    style_sheet: function () {
        return element('link', {rel: 'stylesheet', href: 'style.css'}, 'load').then(function () {
            if (getComputedStyle(document.body).marginLeft !== '17px') throw 'not applied';
        });
    },
    image: function () {
        return new Promise(function (resolve, reject) {
            var image = new Image();
            image.onload = function () { image.naturalWidth === 1 ? resolve() : reject(); };
            image.onerror = reject;
            image.src = 'pixel.png';
        });
    },
    media: function () {
        return new Promise(function (resolve, reject) {
            var audio = document.createElement('audio');
            audio.onloadedmetadata = function () { audio.duration > 0 ? resolve() : reject(); };
            audio.onerror = reject;
            audio.src = 'tone.wav';
        });
    },
    font: function () {
        return new FontFace('probe', 'url(font.ttf)').load();
    },
    // A link to a page of the package with a fragment (an error page is of another origin).
    fragment_link: function () {
        return new Promise(function (resolve, reject) {
            var frame = document.createElement('iframe');
            frame.onload = function () { frame.contentDocument ? resolve() : reject(); };
            frame.src = 'index.html#faq';
            document.body.appendChild(frame);
        });
    },
    dedicated_worker: function () {
        return new Promise(function (resolve, reject) {
            var worker = new Worker('worker.js');
            worker.onmessage = function (event) { event.data === 'probe' ? resolve() : reject(); };
            worker.onerror = reject;
        });
    },
};

function measure(message) {
    var names = Object.keys(ways);
    Promise.all(names.map(function (name) {
        var attempt;
        try { attempt = ways[name](); } catch (e) { attempt = Promise.reject(e); }
        return settle(attempt, message.timeoutMs);
    })).then(function (outcomes) {
        var matrix = {};
        names.forEach(function (name, i) { matrix[name] = outcomes[i]; });
        reply({id: message.id, matrix: matrix});
    });
}

window.addEventListener('message', function (event) {
    var message = event.data;
    if (message.op === 'request')
        request(message);
    else if (message.op === 'abort')
        pending[message.id].abort();
    else if (message.op === 'measure')
        measure(message);
    else if (message.op === 'loadAll')
        loadAll(message);
    else if (message.op === 'fetch')
        fetchFile(message);
});
reply({id: 'loaded', origin: location.origin});
