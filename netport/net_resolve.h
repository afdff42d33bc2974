#pragma once
// Host name lookup with a deadline: the system's getaddrinfo may wait on
// an unanswering name server for far longer than the connection may take.
// net_resolve_linux.cpp asks glibc's getaddrinfo_a; net_resolve_posix.cpp
// and net_resolve_win32.cpp run getaddrinfo on a helper thread.

#include <cstdint>

struct addrinfo;

// Resolves like getaddrinfo(host, service, hints, out), giving up after
// `timeout_ms`. Returns 0 with *out set (release it with
// netresolve_Free), or a getaddrinfo error code: EAI_AGAIN when the time
// ran out, the code the system's own lookup would have given after its
// retries. One lookup at a time; a lookup given up on still finishes in
// the background, and a new one while it runs also gets EAI_AGAIN at once.
// Prints nothing.
int netresolve_Lookup(const char* host, const char* service, const addrinfo* hints,
                      uint32_t timeout_ms, addrinfo** out);

// Releases a list netresolve_Lookup returned; nothing for nullptr.
void netresolve_Free(addrinfo* list);
