// Preloaded into the Discord stand-in (node --require): a server that is
// told a port and no host listens on 127.0.0.1 alone, not on every
// interface (the stand-in's bridge names no host).
'use strict';
const net = require('net');
const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function (...args) {
  if (typeof args[0] === 'number' && (args[1] === undefined || args[1] === null)) {
    args[1] = '127.0.0.1';
  } else if (typeof args[0] === 'number' && typeof args[1] === 'function') {
    args.splice(1, 0, '127.0.0.1');
  } else if (args[0] && typeof args[0] === 'object' && args[0].port !== undefined && !args[0].host) {
    args[0] = Object.assign({}, args[0], { host: '127.0.0.1' });
  }
  return listen.apply(this, args);
};
