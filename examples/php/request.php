<?php
// One request of the example host: counts itself under the shared lock, logs, makes and checks
// a token, parses and prints JSON and searches a schedule in a zone; answers one JSON line.
if (isset($_GET['read'])) {  // the shared counter only
    echo json_encode(xdemo_counter()), "\n";
    return;
}
$id = $_GET['id'] ?? '0';
$counter = xdemo_increment();
xdemo_log("request $id counter $counter");
$token = xdemo_token(600);
echo json_encode([
    'id' => $id,
    'pid' => getmypid(),
    'counter' => $counter,
    'token' => $token,
    'token_ok' => xdemo_check_token($token),
    'json' => xdemo_json('{"queue": "mail", "retries": 3}'),
    // Nightly at 02:30 in Berlin, from 2024-03-29 12:00 UTC: the change to summer time.
    'next' => xdemo_next_run('0 30 2 * * *', 'Europe/Berlin', 1711713600),
    'shared' => xdemo_counter(),
]), "\n";
