// Helpers of the address race (engine/address_race.cpp): the order in which
// the addresses of a name are tried and how an address is shown in rows.
// Portable: the engine side of the platform seam.
#pragma once

#include <vector>
#include <string>

#include "platform/net.h"

// Milliseconds after which the next address is tried while the earlier
// attempts have neither connected nor failed.
inline constexpr uint32_t ATTEMPT_DELAY_MS = 250;

// The resolver's addresses in attempt order: the families alternate, starting
// with the family of the resolver's first address, each family keeping the
// resolver's order within it.
std::vector<NetAddress> attemptOrder(const std::vector<NetAddress>& addresses);

// "127.0.0.1" or "[::1]": an address as the connecting rows show it.
std::string shownAddress(const NetAddress& address);
