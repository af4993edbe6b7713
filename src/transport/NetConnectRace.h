// Connecting to a server with several addresses the way dual-stack clients do: the first
// address is tried, and each further one as soon as the one before fails or after a short head
// start without an answer, while the earlier attempts go on; the first connection made wins and
// every other attempt is closed. A black-holed address (often IPv6 on a network that only
// pretends to route it) then costs the head start, not the whole time-out.
//
// Thread-safety: runs entirely on the calling thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "transport/NetDeadline.h"
#include "transport/NetStack.h"

// How long an attempt leads before the next address is tried alongside it.
inline constexpr int kNetNextAddressDelayMs = 250;

struct TNetRaceWinner {
  TNetStackSocketHandle Handle = NetInvalidSocket;  // connected, in blocking mode
  size_t Index = 0;                                 // of its address
};

// Connects to `port` at one of `addresses` (address texts, in the order to try them) before
// `deadline`. `prepare` sees each new socket before its connect (socket options). Raises
// ENetConnectTimeout when the deadline passes first and ENetConnectException with the last
// attempt's error when every address failed; no socket is left open then.
TNetRaceWinner NetConnectRace(const std::vector<std::string>& addresses, int port,
                              const TNetDeadline& deadline,
                              const std::function<void(TNetStackSocketHandle)>& prepare = {},
                              int next_address_delay_ms = kNetNextAddressDelayMs);
