// Host name lookups that end by a deadline: the asynchronous resolver library asks for the A and
// AAAA records of a name (after the hosts file, by the system's resolver configuration) and this
// thread waits for its sockets by poll, as it waits for a connect, so the lookup costs no thread
// of its own and ends with the connect's time-out.
//
// Thread-safety: every call works on a resolver channel of its own; any number of threads may
// look names up at once. SetNetNameServers may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "transport/NetDeadline.h"
#include "transport/NetException.h"

// The lookup did not end before its deadline.
class ENetResolveTimeout : public ENetConnectTimeout {
 public:
  ENetResolveTimeout() : ENetConnectTimeout("Host name lookup timed out.") {}
};

// Which addresses a lookup asks for.
enum TNetAddressFamilies { nfIPv4 = 1, nfIPv6 = 2, nfBoth = 3 };

// `host` without the brackets of an IPv6 literal ("[::1]" gives "::1").
std::string UnbracketedHost(const std::string& host);
// Whether `host` is an address already: a dotted quad or an IPv6 address (brackets allowed).
bool IsNumericHost(const std::string& host);

// The addresses of `host` as text, in the order a connect tries them: IPv6 and IPv4 in turn,
// IPv6 first (each family in the order the answer gave them, without repeats). An address
// (an IPv6 one without its brackets) or "localhost" (any case, giving 127.0.0.1) comes back as
// it is, without a lookup. Raises ENetSocketError 11001 for a name that does not exist,
// 11004 for one without addresses of the families asked, another 1100x when the lookup failed,
// and ENetResolveTimeout when `deadline` passes first.
std::vector<std::string> NetResolveHost(const std::string& host, const TNetDeadline& deadline,
                                        int families = nfBoth);

// Name servers every later lookup asks instead of the system's ("127.0.0.1:5353", several
// separated by commas; empty: the system's configuration again). For test stand-ins.
void SetNetNameServers(const std::string& servers);
