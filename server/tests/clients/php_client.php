<?php
// The PHP SoapClient client of soap_client_test.py: CORE_WSDL ADMIN_WSDL, the
// password, token scheme and seed (and the CA for HTTPS) in QUOR_*
// variables; prints "name<TAB>value" lines. Anything on stderr fails.

function emit(string $name, $value): void {
    $text = $value === null ? '' : (string)$value;
    echo $name, "\t", strtr($text, ["\\" => "\\\\", "\n" => "\\n", "\r" => "\\r", "\t" => "\\t"]), "\n";
}

function load(string $url): SoapClient {
    $ssl = getenv('QUOR_CA_FILE') ? ['cafile' => getenv('QUOR_CA_FILE')] : [];
    $client = new SoapClient($url, [
        'exceptions' => true,
        'cache_wsdl' => WSDL_CACHE_NONE,
        'stream_context' => stream_context_create(['ssl' => $ssl]),
    ]);
    // An operation whose types PHP could not resolve reads "UNKNOWN".
    foreach ($client->__getFunctions() as $signature) {
        if (str_contains($signature, 'UNKNOWN')) {
            fwrite(STDERR, "untyped operation: $signature\n");
            exit(1);
        }
    }
    return $client;
}

// The fault `call` raises, with errorInfo as PHP typed it from the WSDL.
function emitFault(string $prefix, callable $call): void {
    try {
        $call();
    } catch (SoapFault $fault) {
        $info = $fault->detail->errorInfo;
        emit($prefix . 'faultcode', $fault->faultcode);
        emit($prefix . 'faultstring', $fault->faultstring);
        emit($prefix . 'status', $info->status);
        emit($prefix . 'description', $info->description);
        emit($prefix . 'number', $info->number);
        return;
    }
    fwrite(STDERR, "$prefix: no fault\n");
    exit(1);
}

[, $coreUrl, $adminUrl] = $argv;
$password = getenv('QUOR_PASSWORD');
$core = load($coreUrl);
$admin = load($adminUrl);

$answer = $core->CreateTicket(['authority' => '', 'realm' => '', 'principal' => 'administrator',
                               'credential' => $password]);
emit('ticket', $answer->ticket);
emit('fullPrincipal', $answer->fullPrincipal);
emitFault('wrong.', fn() => $core->CreateTicket(['authority' => '', 'realm' => '', 'principal' => 'administrator',
                                                 'credential' => 'wrong']));
$session = $core->OpenSession(['service' => 'qsc', 'ticket' => $answer->ticket,
                               'tokenScheme' => getenv('QUOR_TOKEN_SCHEME'),
                               'tokenSeed' => getenv('QUOR_TOKEN_SEED')]);
emit('sessionKey', $session->sessionKey);
emit('verifier', $session->verifier);
$result = $core->Exec(['user' => $session->verifier, 'command' => 'status']);
emit('exec.result', $result->result);
emit('exec.reskey', $result->reskey);
emitFault('admin.', fn() => $admin->ReLoadConfig(['user' => 'no-session']));
