<?php
// The receiver of the module's posts, and the "now playing" page built on
// them; one entry for everything:
//
//   POST wm_action=wm_data    the latest state, and a history row when the
//                             track changes                      -> 204
//   POST wm_action=wm_cover   a cover picture, stored by its SHA-1 -> 204
//                             (409 when no stored post names it)
//   GET  ?format=json         the state as JSON, with the history
//   GET  ?cover=HASH          a stored cover
//   GET                       the page (page.js and page.css beside this file)
//
// Posts carry the configured token as ?key=... (config.php). Nothing here is
// loaded from another host and nothing beyond PHP 8.2 with PDO SQLite is
// needed.
declare(strict_types=1);

const MAX_DATA_BODY = 64 * 1024;
const MAX_COVER_BYTES = 2 * 1024 * 1024;
const MAX_COVER_BODY = MAX_COVER_BYTES + 64 * 1024; // the picture and the form around it
const HISTORY_KEPT = 100;
const HISTORY_SHOWN = 10;
const BUSY_TIMEOUT_MS = 10000;
const DATABASE_FILE = 'nowplaying.sqlite';
const COVER_FOLDER = 'covers';
// The pictures taken and served, by the type their bytes' signature has
// (getimagesize); what the module sends.
const COVER_TYPES = ['image/jpeg', 'image/png', 'image/gif', 'image/webp', 'image/bmp'];
// The fields of the state by id3lib's frame number.
const FIELD_FRAMES = [
    'title' => 47, 'artist' => 61, 'album' => 29, 'year' => 80,
    'track' => 68, 'genre' => 32, 'comment' => 4,
];
// \z, not $: a value ending in a newline is not a hash or a status.
const HASH_PATTERN = '/^[0-9a-f]{40}\z/';
const STATUS_PATTERN = '/^-?\d{1,9}\z/';
// A killed request's partial cover is deleted once it is this old.
const PARTIAL_KEPT_S = 3600;
// Written into the data folder whenever it lacks one: Apache (with
// AllowOverride) then serves none of it, where it lies in the web root.
const DATA_HTACCESS = <<<'TEXT'
# The receiver's database and covers, never served as files: index.php
# serves the covers itself. Apache 2.4, and 2.2 before it.
<IfModule mod_authz_core.c>
    Require all denied
</IfModule>
<IfModule !mod_authz_core.c>
    Order deny,allow
    Deny from all
</IfModule>

TEXT;

const SCHEMA = <<<'SQL'
CREATE TABLE IF NOT EXISTS state (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    status INTEGER NOT NULL,
    player_title TEXT NOT NULL,
    title TEXT NOT NULL, artist TEXT NOT NULL, album TEXT NOT NULL, year TEXT NOT NULL,
    track TEXT NOT NULL, genre TEXT NOT NULL, comment TEXT NOT NULL,
    id3 TEXT NOT NULL,
    cover_hash TEXT,
    updated INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS history (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    player_title TEXT NOT NULL,
    title TEXT NOT NULL, artist TEXT NOT NULL, album TEXT NOT NULL,
    cover_hash TEXT,
    started INTEGER NOT NULL
);
SQL;

const PAGE = <<<'HTML'
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Now playing</title>
<link rel="stylesheet" href="page.css">
<script src="page.js" defer></script>
</head>
<body data-state="loading">
<main class="now">
  <div class="cover">
    <img id="cover" alt="" hidden>
    <div id="no-cover" class="no-cover" aria-hidden="true"></div>
  </div>
  <div class="playing">
    <p class="line"><span id="status" class="status">Waiting for the player</span>
      <span id="ago" class="ago"></span></p>
    <h1 id="title" aria-live="polite"></h1>
    <p id="artist" class="artist"></p>
    <p id="album" class="album"></p>
  </div>
</main>
<section class="recent" aria-labelledby="recent-heading">
  <h2 id="recent-heading">Recently played</h2>
  <ol id="history"></ol>
</section>
</body>
</html>

HTML;

// The five bytes Windows-1252 leaves undefined, which iconv refuses;
// Windows reads them as the C1 controls of the same number, and so does
// postedText.
const CP1252_UNDEFINED = '/([\x81\x8D\x8F\x90\x9D])/';

function finish(int $code): never
{
    http_response_code($code);
    if ($code >= 400) {
        header('Content-Type: text/plain; charset=utf-8');
        header('Cache-Control: no-store');
    }
    exit;
}

// A posted text as UTF-8: kept when it is valid UTF-8 already, else read as
// Windows-1252 (what the module sends with its UTF-8 option off).
function postedText(mixed $value): string
{
    if (!is_string($value)) {
        return '';
    }
    if (preg_match('//u', $value) === 1) {
        return $value;
    }
    $text = '';
    $parts = preg_split(CP1252_UNDEFINED, $value, -1, PREG_SPLIT_DELIM_CAPTURE);
    foreach ($parts as $i => $part) {
        // Odd parts are the undefined bytes, all in 0x80-0xBF.
        $text .= $i % 2 === 1 ? "\xC2" . $part : iconv('Windows-1252', 'UTF-8', $part);
    }
    return $text;
}

function postedHash(mixed $value): ?string
{
    if (!is_string($value)) {
        return null;
    }
    $hash = strtolower($value);
    return preg_match(HASH_PATTERN, $hash) === 1 ? $hash : null;
}

// $list[$name] of a bracketed form name (wm_cover[hash]), or null.
function entry(mixed $list, string|int $name): mixed
{
    return is_array($list) ? ($list[$name] ?? null) : null;
}

function nowMs(): int
{
    return (int) floor(microtime(true) * 1000);
}

// The database in the data folder, made with its tables on first use. WAL
// lets the page read while a post writes; writers wait for each other up to
// BUSY_TIMEOUT_MS.
function openDatabase(string $dataDir): PDO
{
    if (!is_dir($dataDir) && !@mkdir($dataDir, 0770, true) && !is_dir($dataDir)) {
        throw new RuntimeException('cannot make the data folder ' . $dataDir);
    }
    if (!is_writable($dataDir)) { // SQLite makes its -wal and -shm files beside
        throw new RuntimeException('the data folder ' . $dataDir . ' is not writable by PHP');
    }
    // Also into a folder made by hand or copied without its dot files.
    $htaccess = $dataDir . '/.htaccess';
    if (!is_file($htaccess)) {
        @file_put_contents($htaccess, DATA_HTACCESS, LOCK_EX);
    }
    $db = new PDO('sqlite:' . $dataDir . '/' . DATABASE_FILE, null, null, [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
        PDO::ATTR_TIMEOUT => intdiv(BUSY_TIMEOUT_MS, 1000),
    ]);
    $db->exec('PRAGMA busy_timeout = ' . BUSY_TIMEOUT_MS);
    if ($db->query('PRAGMA journal_mode')->fetchColumn() !== 'wal') {
        $db->exec('PRAGMA journal_mode = WAL');
    }
    $db->exec(SCHEMA);
    $db->exec('PRAGMA synchronous = NORMAL');
    return $db;
}

// $work($db) under the write lock, committed unless it throws; its result.
function writeTransaction(PDO $db, callable $work): mixed
{
    $db->exec('BEGIN IMMEDIATE');
    try {
        $result = $work($db);
        $db->exec('COMMIT');
        return $result;
    } catch (Throwable $e) {
        $db->exec('ROLLBACK');
        throw $e;
    }
}

function coverPath(string $dataDir, string $hash): string
{
    return $dataDir . '/' . COVER_FOLDER . '/' . $hash;
}

function coverNamed(PDO $db, string $hash): bool
{
    $named = $db->prepare('SELECT 1 FROM state WHERE cover_hash = :hash
        UNION ALL SELECT 1 FROM history WHERE cover_hash = :hash LIMIT 1');
    $named->execute(['hash' => $hash]);
    return $named->fetchColumn() !== false;
}

// Deletes every cover that neither the state nor the kept history names
// (and partial ones a killed request left), so the folder holds at most
// HISTORY_KEPT + 1 pictures. Called in the write transaction of every
// stored post and upload: an upload cannot slip in between the query and
// the deletion.
function pruneCovers(PDO $db, string $dataDir): void
{
    $folder = $dataDir . '/' . COVER_FOLDER;
    if (!is_dir($folder)) {
        return;
    }
    $named = array_flip($db->query('SELECT cover_hash FROM state WHERE cover_hash IS NOT NULL
        UNION SELECT cover_hash FROM history WHERE cover_hash IS NOT NULL')
        ->fetchAll(PDO::FETCH_COLUMN));
    foreach (scandir($folder) ?: [] as $name) {
        $path = $folder . '/' . $name;
        if (preg_match(HASH_PATTERN, $name) === 1
            ? !isset($named[$name])
            : str_ends_with($name, '.part') && (int) @filemtime($path) < time() - PARTIAL_KEPT_S) {
            @unlink($path);
        }
    }
}

function requestLength(): int
{
    $length = $_SERVER['CONTENT_LENGTH'] ?? '';
    return is_numeric($length) ? (int) $length : 0;
}

function storeData(string $dataDir): void
{
    $data = $_POST['wm_data'] ?? null;
    $id3 = [];
    foreach (is_array($_POST['wm_id3'] ?? null) ? $_POST['wm_id3'] : [] as $frame => $value) {
        if (is_int($frame) && $frame >= 0 && is_string($value)) {
            $id3[$frame] = postedText($value);
        }
    }
    ksort($id3);
    $status = entry($data, 'status');
    $row = [
        'status' => is_string($status) && preg_match(STATUS_PATTERN, $status) === 1
            ? (int) $status : 0,
        'player_title' => postedText(entry($data, 'title')),
        'id3' => json_encode((object) $id3, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES),
        'cover_hash' => postedHash(entry($_POST['wm_cover'] ?? null, 'hash')),
        'updated' => nowMs(),
    ];
    foreach (FIELD_FRAMES as $name => $frame) {
        $row[$name] = $id3[$frame] ?? '';
    }
    writeTransaction(openDatabase($dataDir), function (PDO $db) use ($row, $dataDir): void {
        storeState($db, $row);
        pruneCovers($db, $dataDir);
    });
}

// The state of $row, and a history row when its track is not the last one.
function storeState(PDO $db, array $row): void
{
    $db->prepare('INSERT OR REPLACE INTO state (id, status, player_title, title, artist, album,
            year, track, genre, comment, id3, cover_hash, updated)
        VALUES (1, :status, :player_title, :title, :artist, :album, :year, :track, :genre,
            :comment, :id3, :cover_hash, :updated)')->execute($row);
    if ($row['player_title'] === '' && $row['title'] === '' && $row['artist'] === '') {
        return; // nothing playing: no track to remember
    }
    $track = [
        'player_title' => $row['player_title'], 'title' => $row['title'],
        'artist' => $row['artist'], 'album' => $row['album'],
    ];
    $last = $db->query('SELECT id, player_title, title, artist, album, cover_hash FROM history
        ORDER BY id DESC LIMIT 1')->fetch();
    if ($last !== false && $last['player_title'] === $track['player_title']
        && $last['title'] === $track['title'] && $last['artist'] === $track['artist']
        && $last['album'] === $track['album']) {
        if ($last['cover_hash'] !== $row['cover_hash']) {
            $db->prepare('UPDATE history SET cover_hash = ? WHERE id = ?')
                ->execute([$row['cover_hash'], $last['id']]);
        }
        return;
    }
    $db->prepare('INSERT INTO history (player_title, title, artist, album, cover_hash, started)
        VALUES (:player_title, :title, :artist, :album, :cover_hash, :started)')
        ->execute($track + ['cover_hash' => $row['cover_hash'], 'started' => $row['updated']]);
    $db->exec('DELETE FROM history WHERE id <= (SELECT id FROM history ORDER BY id DESC
        LIMIT 1 OFFSET ' . HISTORY_KEPT . ')');
}

// The picture of wm_cover[data], stored as covers/HASH once its SHA-1 is
// the announced one, it reads as one of COVER_TYPES and a stored post names
// it (the module posts the data naming a picture before the picture): so
// nobody, with the key or without, stores a picture that would be pruned.
function storeCover(string $dataDir): void
{
    $hash = postedHash(entry($_POST['wm_cover'] ?? null, 'hash'));
    $files = $_FILES['wm_cover'] ?? null;
    $error = entry(entry($files, 'error'), 'data');
    if ($error === UPLOAD_ERR_INI_SIZE || $error === UPLOAD_ERR_FORM_SIZE) {
        finish(413);
    }
    $upload = entry(entry($files, 'tmp_name'), 'data');
    if ($hash === null || $error !== UPLOAD_ERR_OK || !is_string($upload)
        || !is_uploaded_file($upload)) {
        finish(400);
    }
    if (filesize($upload) > MAX_COVER_BYTES) {
        finish(413);
    }
    $bytes = (string) file_get_contents($upload);
    if (!hash_equals($hash, sha1($bytes))) {
        finish(400);
    }
    $image = @getimagesizefromstring($bytes);
    if ($image === false || $image[0] < 1 || $image[1] < 1
        || !in_array($image['mime'] ?? '', COVER_TYPES, true)) {
        finish(415);
    }
    $stored = writeTransaction(openDatabase($dataDir),
        function (PDO $db) use ($dataDir, $hash, $bytes): bool {
            if (!coverNamed($db, $hash)) {
                return false;
            }
            $folder = $dataDir . '/' . COVER_FOLDER;
            if (!is_dir($folder) && !@mkdir($folder, 0770, true) && !is_dir($folder)) {
                throw new RuntimeException('cannot make the cover folder ' . $folder);
            }
            $path = coverPath($dataDir, $hash);
            if (!is_file($path)) {
                // Written beside and renamed, so a reader never sees half a picture.
                $partial = $path . '.' . bin2hex(random_bytes(6)) . '.part';
                if (file_put_contents($partial, $bytes) !== strlen($bytes)
                    || !rename($partial, $path)) {
                    @unlink($partial);
                    throw new RuntimeException('cannot store the cover ' . $hash);
                }
            }
            pruneCovers($db, $dataDir);
            return true;
        });
    if (!$stored) {
        finish(409);
    }
}

function receivePost(array $config): never
{
    $action = $_POST['wm_action'] ?? '';
    $length = requestLength();
    if ($action !== 'wm_cover') {
        $length = max($length, strlen((string) file_get_contents('php://input')));
    }
    if ($length > ($action === 'wm_cover' ? MAX_COVER_BODY : MAX_DATA_BODY)) {
        finish(413);
    }
    $key = $_GET['key'] ?? '';
    if ($config['token'] !== '' && !(is_string($key) && hash_equals($config['token'], $key))) {
        finish(403);
    }
    if ($action === 'wm_data') {
        storeData($config['data_dir']);
    } elseif ($action === 'wm_cover') {
        storeCover($config['data_dir']);
    } else {
        finish(400);
    }
    finish(204);
}

function statusName(int $status): string
{
    return match ($status) {
        1 => 'playing',
        3 => 'paused',
        default => 'stopped',
    };
}

function coverUrl(string $dataDir, ?string $hash): ?string
{
    return $hash !== null && is_file(coverPath($dataDir, $hash)) ? '?cover=' . $hash : null;
}

// The state in the schema nowplaying.json shares with the other outputs,
// with the receiver's own history and id3 besides.
function stateDocument(string $dataDir, int $historyCount): array
{
    $db = openDatabase($dataDir);
    $state = $db->query('SELECT * FROM state WHERE id = 1')->fetch();
    $document = [
        'status' => statusName($state === false ? 0 : (int) $state['status']),
        'playerTitle' => $state === false ? '' : $state['player_title'],
    ];
    foreach (['title', 'artist', 'album', 'year', 'track', 'genre'] as $name) {
        $document[$name] = $state === false ? '' : $state[$name];
    }
    $hash = $state === false ? null : $state['cover_hash'];
    $document += [
        'file' => null,
        'cover' => coverUrl($dataDir, $hash),
        'coverHash' => $hash,
        'updated' => $state === false ? null : (int) $state['updated'],
        'comment' => $state === false ? '' : $state['comment'],
        'id3' => $state === false ? (object) [] : json_decode($state['id3']),
        'history' => [],
    ];
    $rows = $db->prepare('SELECT * FROM history ORDER BY id DESC LIMIT ?');
    $rows->bindValue(1, $historyCount, PDO::PARAM_INT);
    $rows->execute();
    foreach ($rows as $row) {
        $document['history'][] = [
            'title' => $row['title'], 'artist' => $row['artist'], 'album' => $row['album'],
            'playerTitle' => $row['player_title'],
            'cover' => coverUrl($dataDir, $row['cover_hash']), 'coverHash' => $row['cover_hash'],
            'started' => (int) $row['started'],
        ];
    }
    return $document;
}

function serveJson(array $config): never
{
    $count = $_GET['history'] ?? HISTORY_SHOWN;
    $count = is_numeric($count) ? max(0, min(HISTORY_KEPT, (int) $count)) : HISTORY_SHOWN;
    $json = json_encode(stateDocument($config['data_dir'], $count),
        JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE);
    $etag = '"' . sha1($json) . '"';
    header('Cache-Control: no-store');
    header('ETag: ' . $etag);
    header('X-Content-Type-Options: nosniff');
    $asked = array_map('trim', explode(',', (string) ($_SERVER['HTTP_IF_NONE_MATCH'] ?? '')));
    if (in_array($etag, $asked, true) || in_array('W/' . $etag, $asked, true)) {
        http_response_code(304);
        exit;
    }
    header('Content-Type: application/json; charset=utf-8');
    echo $json;
    exit;
}

function serveCover(array $config): never
{
    $hash = postedHash($_GET['cover']);
    $path = $hash === null ? null : coverPath($config['data_dir'], $hash);
    $image = $path !== null && is_file($path) ? @getimagesize($path) : false;
    if ($image === false || !in_array($image['mime'] ?? '', COVER_TYPES, true)) {
        finish(404);
    }
    header('Content-Type: ' . $image['mime']);
    header('Content-Length: ' . filesize($path));
    header('Cache-Control: public, max-age=31536000, immutable');
    header('X-Content-Type-Options: nosniff');
    header("Content-Security-Policy: default-src 'none'; sandbox");
    readfile($path);
    exit;
}

function servePage(): never
{
    header('Content-Type: text/html; charset=utf-8');
    header("Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
        . "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'");
    header('X-Content-Type-Options: nosniff');
    header('Referrer-Policy: no-referrer');
    header('Cache-Control: no-cache');
    echo PAGE;
    exit;
}

$config = require __DIR__ . '/config.php';
$config = [
    'token' => (string) ($config['token'] ?? ''),
    'data_dir' => rtrim((string) ($config['data_dir'] ?? __DIR__ . '/data'), '/'),
];
$method = $_SERVER['REQUEST_METHOD'] ?? 'GET';
header_remove('X-Powered-By');
try {
    if ($method === 'POST') {
        receivePost($config);
    } elseif ($method === 'GET' || $method === 'HEAD') {
        if (isset($_GET['cover'])) {
            serveCover($config);
        } elseif (($_GET['format'] ?? '') === 'json') {
            serveJson($config);
        }
        servePage();
    }
    header('Allow: GET, HEAD, POST');
    finish(405);
} catch (Throwable $e) {
    error_log('receiver: ' . $e->getMessage());
    finish(500);
}
