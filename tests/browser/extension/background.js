// Test extension for Chromium and Firefox: runs the harness's commands against the companion through connectNative and reports what happens.
'use strict';

const HOST = 'com.vantro.companion';
// Chromium offers the promise-based API as `chrome`, Firefox as `browser`.
const api = globalThis.browser ?? globalThis.chrome;

let harness = null;  // base URL of the harness's control server, from config.json
let port = null;     // the open native-messaging port, if any
// Events go out one after another so that the harness sees them in order.
let outbox = Promise.resolve();

function report(event) {
  outbox = outbox.then(() => fetch(`${harness}/event`, {method: 'POST', body: JSON.stringify(event)}));
  return outbox;
}

function disconnectReason(closed) {
  // Firefox puts the reason on the port, Chromium in runtime.lastError.
  const error = closed.error ?? api.runtime.lastError;
  return error ? String(error.message) : '';
}

function connect() {
  const opened = api.runtime.connectNative(HOST);
  opened.onMessage.addListener((message) => report({type: 'message', message}));
  opened.onDisconnect.addListener((closed) => {
    if (port === closed) port = null;
    report({type: 'disconnect', reason: disconnectReason(closed)});
  });
  port = opened;
}

const commands = {
  connect,
  send: (command) => port.postMessage(command.message),
  disconnect: () => {
    port.disconnect();
    port = null;
  },
  idle: () => {},
};

async function nextCommand() {
  const response = await fetch(`${harness}/command`);
  return response.json();
}

async function serve() {
  harness = (await (await fetch(api.runtime.getURL('config.json'))).json()).harness;
  await report({type: 'ready', id: api.runtime.id});
  for (;;) {
    // An extension API call keeps Chromium's service worker from being idled out between commands.
    await api.runtime.getPlatformInfo();
    const command = await nextCommand();
    commands[command.op](command);
  }
}

serve().catch((error) => report({type: 'failed', reason: String(error)}));
