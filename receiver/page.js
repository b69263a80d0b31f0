// The "now playing" page: asks for ?format=json every second with the
// last ETag (the server answers 304 while nothing changed) and shows what
// it says. Every text from the server is set as text, never as markup.
'use strict';

(() => {
  const POLL_MS = 1000;
  const HIDDEN_POLL_MS = 10000;
  const STATUS_TEXT = { playing: 'Playing', paused: 'Paused', stopped: 'Stopped' };
  const jsonUrl = new URL('?format=json', window.location.href);
  const byId = (id) => document.getElementById(id);

  let etag = null;
  let state = null;
  let skewMs = 0; // the server's clock minus ours, from the Date header
  let timer = null;

  function trackText(track) {
    if (track.title && track.artist) return track.artist + ' \u2013 ' + track.title;
    return track.title || track.playerTitle || 'Unknown track';
  }

  function agoText(ms) {
    const seconds = Math.max(0, Math.round(ms / 1000));
    if (seconds < 5) return 'just now';
    if (seconds < 60) return seconds + ' s ago';
    if (seconds < 3600) return Math.floor(seconds / 60) + ' min ago';
    if (seconds < 86400) return Math.floor(seconds / 3600) + ' h ago';
    return Math.floor(seconds / 86400) + ' d ago';
  }

  function clockText(ms) {
    return new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
  }

  function showAgo() {
    byId('ago').textContent = state && state.updated
      ? '\u00b7 updated ' + agoText(Date.now() + skewMs - state.updated) : '';
  }

  function showCover() {
    const img = byId('cover');
    const none = byId('no-cover');
    if (!state.cover) {
      img.hidden = true;
      img.removeAttribute('src');
      none.hidden = false;
      return;
    }
    const src = new URL(state.cover, jsonUrl).href;
    if (img.src !== src) {
      img.hidden = true;
      none.hidden = false;
      img.src = src;
    }
    const what = state.album || state.title || state.playerTitle;
    img.alt = what ? 'Cover of ' + what : 'Cover';
  }

  function showHistory() {
    const list = byId('history');
    const items = (state.history || []).map((track) => {
      const item = document.createElement('li');
      const name = document.createElement('span');
      name.className = 'track';
      name.textContent = trackText(track);
      const when = document.createElement('time');
      when.dateTime = new Date(track.started).toISOString();
      when.textContent = clockText(track.started);
      item.append(name, ' ', when);
      return item;
    });
    list.replaceChildren(...items);
    byId('recent-heading').parentElement.hidden = items.length === 0;
  }

  function render() {
    const posted = state.updated !== null;
    document.body.dataset.status = state.status;
    byId('status').textContent = posted ? STATUS_TEXT[state.status] || 'Stopped'
      : 'Waiting for the player';
    byId('title').textContent = state.title || state.playerTitle;
    byId('artist').textContent = state.title ? state.artist : '';
    byId('album').textContent = [state.album, state.year].filter((part) => part).join(' \u00b7 ');
    document.title = posted && (state.title || state.playerTitle)
      ? trackText(state) + ' \u2013 Now playing' : 'Now playing';
    showCover();
    showHistory();
    showAgo();
  }

  async function poll() {
    timer = null;
    try {
      const headers = etag ? { 'If-None-Match': etag } : {};
      const answer = await fetch(jsonUrl, { headers, cache: 'no-store' });
      const date = Date.parse(answer.headers.get('Date') || '');
      if (!Number.isNaN(date)) skewMs = date - Date.now();
      if (answer.status === 200) {
        state = await answer.json();
        etag = answer.headers.get('ETag');
        render();
        document.body.dataset.state = 'ready';
      } else if (answer.status !== 304) {
        document.body.dataset.state = 'error';
      }
    } catch (error) {
      document.body.dataset.state = 'offline';
    }
    timer = setTimeout(poll, document.hidden ? HIDDEN_POLL_MS : POLL_MS);
  }

  document.addEventListener('visibilitychange', () => {
    if (!document.hidden && timer !== null) {
      clearTimeout(timer);
      poll();
    }
  });
  byId('cover').addEventListener('load', () => {
    byId('cover').hidden = false;
    byId('no-cover').hidden = true;
  });
  setInterval(showAgo, 1000);
  poll();
})();
