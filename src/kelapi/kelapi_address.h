// kelapi_address.h - the texts of a named connection's server: the host
// text as given, and the addresses it resolves to, for the trace and the
// reasons of failures. Pure text work; nothing here asks the system.
#ifndef KELAPI_ADDRESS_H
#define KELAPI_ADDRESS_H

#include <stddef.h>
#include <stdint.h>

#include "platform.h"

// The longest address text with its port: "[" 45 characters "%" zone "]:" port.
#define KEL_ADDRESS_TEXT_SIZE 72u

// "10.0.0.1:2893" or "[2001:db8::1]:2893" (zeros compressed as RFC 5952
// writes them, "[fe80::1%3]:2893" with a zone), cut to nSize - 1 characters.
void KelFormatAddress(const KelAddress *lpAddress, uint16_t wPort, char *szText, size_t nSize);

// The IPv4 address dwIP (network byte order) as a KelAddress.
KelAddress KelIPv4Address(uint32_t dwIP);

// The host text as the resolver takes it: an IPv6 address given in brackets
// without them, anything else as it is. szName holds nSize bytes.
void KelHostForResolver(const char *szHost, char *szName, size_t nSize);

// "host:port" for a reason, with an IPv6 address put in brackets.
void KelFormatHostPort(const char *szHost, uint16_t wPort, char *szText, size_t nSize);

#endif
