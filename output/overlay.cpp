// The overlay page and the empty cover, as the writer puts them on disk.
//
// The page is opened from disk (OBS's Browser source with "Local file", or
// a browser), where it may not fetch a file. So it reads nowplaying.js, which
// assigns the same object as nowplaying.json, by putting a fresh <script>
// element in every 0.75 s; the cover is asked for again (cover.png?h=HASH)
// only when coverHash changes. Every text is set with textContent, never as
// markup. Nothing is loaded from the network.
#include "output/output_text.h"

namespace output {

const std::string_view OVERLAY_HTML = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Now playing</title>
<style>
  html, body { margin: 0; background: transparent; }
  body { font-family: system-ui, "Segoe UI", "Noto Sans", "DejaVu Sans", sans-serif; color: #fff; }
  #card {
    display: flex; align-items: center; gap: 16px; box-sizing: border-box;
    width: max-content; max-width: 100vw; padding: 12px 20px 12px 12px;
    background: rgba(20, 20, 28, 0.78); border-radius: 12px;
    transition: opacity 0.6s;
  }
  #card.paused { opacity: 0.7; }
  #card.stopped { opacity: 0.25; }
  #cover { width: 96px; height: 96px; object-fit: cover; border-radius: 8px; flex: none; }
  #cover.none { display: none; }
  #lines { min-width: 0; }
  .line { white-space: nowrap; overflow: hidden; text-overflow: ellipsis; max-width: 70vw; }
  #title { font-size: 26px; font-weight: 700; }
  #artist { font-size: 20px; margin-top: 2px; }
  #album { font-size: 16px; margin-top: 2px; opacity: 0.75; }
</style>
</head>
<body>
<div id="card" class="stopped">
  <img id="cover" class="none" alt="">
  <div id="lines">
    <div id="title" class="line"></div>
    <div id="artist" class="line"></div>
    <div id="album" class="line"></div>
  </div>
</div>
<script>
(function () {
  "use strict";
  var shownUpdated = null;
  var shownHash;
  function text(value) { return typeof value === "string" ? value : ""; }
  function show(np) {
    if (!np || typeof np !== "object" || np.updated === shownUpdated) return;
    shownUpdated = np.updated;
    var card = document.getElementById("card");
    card.className = np.status === "playing" ? "playing" : np.status === "paused" ? "paused" : "stopped";
    if (np.status === "stopped") return;  // the last song stays, faded
    document.getElementById("title").textContent = text(np.title) || text(np.playerTitle);
    document.getElementById("artist").textContent = text(np.artist);
    document.getElementById("album").textContent = text(np.album);
    var hash = np.cover ? text(np.coverHash) : "";
    if (hash !== shownHash) {
      shownHash = hash;
      var cover = document.getElementById("cover");
      cover.className = hash ? "" : "none";
      if (hash) cover.src = "cover.png?h=" + encodeURIComponent(hash);
    }
  }
  function poll() {
    var script = document.createElement("script");
    script.src = "nowplaying.js?t=" + Date.now();
    script.onload = function () {
      script.remove();
      show(window.nowPlaying);
    };
    script.onerror = function () { script.remove(); };
    document.head.appendChild(script);
  }
  poll();
  setInterval(poll, 750);
})();
</script>
</body>
</html>
)html";

const std::string_view TRANSPARENT_PNG{
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00"
    "\x01\x08\x06\x00\x00\x00\x1f\x15\xc4\x89\x00\x00\x00\x0b\x49\x44\x41\x54\x78\xda\x63\x60\x00"
    "\x02\x00\x00\x05\x00\x01\xe9\xfa\xdc\xd8\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    68};

}  // namespace output
