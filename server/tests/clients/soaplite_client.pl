#!/usr/bin/perl
# The SOAP::Lite client of soap_client_test.py: CORE_WSDL ADMIN_WSDL, the
# password, token scheme and seed in QUOR_* variables (HTTPS trusts
# PERL_LWP_SSL_CA_FILE); prints "name<TAB>value" lines. Run with -w: any
# warning fails.
use strict;
use warnings;
use SOAP::Lite;

sub emit {
    my ($name, $value) = @_;
    $value = '' unless defined $value;
    $value =~ s/([\\\n\r\t])/'\\' . {"\\" => "\\", "\n" => 'n', "\r" => 'r', "\t" => 't'}->{$1}/ge;
    print "$name\t$value\n";
}

# The stub SOAP::Lite makes from the WSDL, answering whole messages.
sub load {
    my ($url) = @_;
    return SOAP::Lite->service($url)->want_som(1);
}

# Named parameters, as the request element's children.
sub params {
    my %p = @_;
    return map { SOAP::Data->name($_ => $p{$_}) } sort keys %p;
}

sub answer {
    my ($som, $what) = @_;
    die "$what: " . $som->faultstring . "\n" if $som->fault;
    return $som;
}

sub emit_fault {
    my ($prefix, $som) = @_;
    die "$prefix: no fault\n" unless $som->fault;
    my $info = $som->faultdetail->{errorInfo};
    emit($prefix . 'faultcode', $som->faultcode);
    emit($prefix . 'faultstring', $som->faultstring);
    emit($prefix . $_, $info->{$_}) for qw(status description number);
}

my ($core_url, $admin_url) = @ARGV;
my $password = $ENV{QUOR_PASSWORD};
my $core = load($core_url);
my $admin = load($admin_url);

my $ticket = answer($core->CreateTicket(params(authority => '', realm => '', principal => 'administrator',
                                               credential => $password)), 'CreateTicket');
emit('ticket', $ticket->valueof('//CreateTicketResponse/ticket'));
emit('fullPrincipal', $ticket->valueof('//CreateTicketResponse/fullPrincipal'));
emit_fault('wrong.', $core->CreateTicket(params(authority => '', realm => '', principal => 'administrator',
                                                credential => 'wrong')));
my $session = answer($core->OpenSession(params(service => 'qsc',
                                               ticket => $ticket->valueof('//CreateTicketResponse/ticket'),
                                               tokenScheme => $ENV{QUOR_TOKEN_SCHEME},
                                               tokenSeed => $ENV{QUOR_TOKEN_SEED})), 'OpenSession');
my $verifier = $session->valueof('//OpenSessionResponse/verifier');
emit('sessionKey', $session->valueof('//OpenSessionResponse/sessionKey'));
emit('verifier', $verifier);
my $exec = answer($core->Exec(params(user => $verifier, command => 'status')), 'Exec');
emit('exec.result', $exec->valueof('//ExecResponse/result'));
emit('exec.reskey', $exec->valueof('//ExecResponse/reskey'));
emit_fault('admin.', $admin->ReLoadConfig(params(user => 'no-session')));
