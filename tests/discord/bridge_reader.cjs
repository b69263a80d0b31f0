// Prints every message the Discord stand-in broadcasts on its bridge, one
// JSON line each, prefixed with the time it arrived (ms since 1970);
// connects again whenever the bridge goes away.
//   node bridge_reader.cjs INSTALL_DIR PORT
'use strict';
const WebSocket = require(require('path').join(process.argv[2], 'node_modules', 'ws'));
const port = process.argv[3];

function connect() {
  const ws = new WebSocket('ws://127.0.0.1:' + port);
  ws.on('open', () => console.log(Date.now() + ' open'));
  ws.on('message', (data) => console.log(Date.now() + ' ' + data.toString()));
  ws.on('error', () => {});
  ws.on('close', () => setTimeout(connect, 100));
}
connect();
