<?php
// Settings of the receiver. Edit the two values below, or set the
// environment variables TRELLICAST_TOKEN and TRELLICAST_DATA_DIR for the
// PHP process (php-fpm: env[TRELLICAST_TOKEN] = ... in the pool), which win
// when set and not empty.
//
// token:    the secret the module's URL carries as ?key=...; posts with
//           another key are refused (403). Empty: every post is accepted.
//           Any other text is a token, "0" too.
// data_dir: where the SQLite file and the covers are kept. Keep it out of
//           the web root, or deny it in the web server (see docs/site.md).
$setting = static function (string $name, string $value): string {
    $set = getenv($name);
    return is_string($set) && $set !== '' ? $set : $value;
};
return [
    'token' => $setting('TRELLICAST_TOKEN', ''),
    'data_dir' => $setting('TRELLICAST_DATA_DIR', __DIR__ . '/data'),
];
