postMessage('probe');
