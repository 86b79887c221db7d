<?php
// What PHP made of a request, for ServerParsers in tests/real_peer_test.cpp,
// served by PHP's built-in server (php -S 127.0.0.1:PORT parsers.php), in the
// lines of hexadecimal of tests/peers/go_server.go: /multipart one line per
// file of $_FILES (the file name before PHP cuts off its directory); any other
// path the Content-Type, the query ($_GET, by name), the body (php://input),
// the Basic credentials (PHP_AUTH_USER, PHP_AUTH_PW), the X-Api-Key header and
// the method.
header('Content-Type: text/plain');
if (parse_url($_SERVER['REQUEST_URI'], PHP_URL_PATH) === '/multipart') {
    foreach ($_FILES as $field => $file) {
        if (!is_string($file['name']) || $file['error'] !== UPLOAD_ERR_OK) {
            http_response_code(400);
            exit("file $field not taken: error " . json_encode($file['error']) . "\n");
        }
        printf("file %s %s %s %d %s\n", bin2hex($field), bin2hex($file['full_path']), bin2hex($file['type']),
               $file['size'], bin2hex(file_get_contents($file['tmp_name'])));
    }
    exit;
}
printf("type %s\n", bin2hex($_SERVER['CONTENT_TYPE'] ?? ''));
ksort($_GET, SORT_STRING);
foreach ($_GET as $name => $value) {
    printf("query %s %s\n", bin2hex($name), bin2hex(is_string($value) ? $value : json_encode($value)));
}
printf("body %s\nuser %s\npassword %s\nkey %s\nmethod %s\n", bin2hex(file_get_contents('php://input')),
       bin2hex($_SERVER['PHP_AUTH_USER'] ?? ''), bin2hex($_SERVER['PHP_AUTH_PW'] ?? ''),
       bin2hex($_SERVER['HTTP_X_API_KEY'] ?? ''), bin2hex($_SERVER['REQUEST_METHOD']));
