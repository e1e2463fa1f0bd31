// TLS layer of the host: OpenSSL 3 initialisation and clean-up. The arguments are reserved and
// ignored (callers pass null). SSL_Init is idempotent; SSL_Exit releases thread-local state.
#pragma once

void SSL_Init(void* reserved1, void* reserved2, void* reserved3);
void SSL_Exit();
