// The connection to the server and the unframed check-in exchange.
#pragma once

// Resolves name (host name, IPv4 or IPv6 address) and connects to port, trying its
// addresses in turn; the connected socket with dead-peer detection on, or -1 after
// writing the failure to standard error.
int connect_server(const char *name, int port);

// Runs the check-in on sock: greeting, name, entry number, number of players,
// second text. Sets Nclient, entry_no, me and game_status.
void check_in();

// Reads one length-prefixed text from sock and writes it to standard output.
void read_server_text();
