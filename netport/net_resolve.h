#pragma once
// Host name lookup with a deadline: the system's getaddrinfo may wait on
// an unanswering name server for far longer than the connection may take.
// A numeric address is converted at once, without a lookup; a name is
// looked up by getaddrinfo on a helper thread of the tool's own
// (net_resolve_posix.cpp, net_resolve_win32.cpp), which ends by returning,
// so its end needs no library loaded then (a C library's own asynchronous
// lookup threads may, and abort the process when no descriptor is left to
// load it with).

#include <cstdint>

struct addrinfo;

// Returned when a name needs a lookup and no helper could be started for it
// (no thread or descriptor to spare), with the cause in errno (POSIX) or the
// last error (Windows). The lookup is then not tried at all: it could not be
// bounded. Distinct from every getaddrinfo error code.
inline constexpr int NETRESOLVE_NO_HELPER = INT32_MIN;

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
