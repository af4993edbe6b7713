#include "transport/NetException.h"

#include "runtime/StrUtils.h"

ENetInvalidPortRange::ENetInvalidPortRange(int port_min, int port_max)
    : ENetSocketHandleError(Format("Invalid Port Range (%d - %d)", port_min, port_max)) {}

ENetCanNotBindPortInRange::ENetCanNotBindPortInRange(int port_min, int port_max)
    : ENetSocketHandleError(Format("Can not bind in port range (%d - %d)", port_min, port_max)) {}
