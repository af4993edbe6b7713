#include "transport/NetTCPClient.h"

void TNetTCPClient::Establish(int timeout) {
  if (!IOHandler()) {
    // A socket handler of our own; it reports resolving and connecting to the same handler as
    // we do, with itself as sender, and is freed on disconnect.
    auto* handler = new TNetIOHandlerSocket;
    handler->OnStatus = OnStatus;
    SetIOHandler(handler, true);
  } else if (IOHandler()->Connected()) {
    // Raised before anything is touched: the live connection stays as it is.
    throw ENetAlreadyConnected();
  }
  try {
    IOHandler()->Open();
    ResetState();
    IOHandler()->ConnectClientTo(host_, port_, timeout, bound_port_max_, bound_port_min_,
                                 bound_port_, bound_ip_);
    if (Intercept()) Intercept()->Connect(this);
    ReportStatus(hsConnected, host_);
    FireConnected();
  } catch (...) {
    DropSocket();
    throw;
  }
}

std::string TNetTCPClient::ConnectAndGetAll() {
  Establish();
  std::string all;
  try {
    all = ReadAll();
  } catch (...) {
    CloseConnection();
    throw;
  }
  CloseConnection();
  return all;
}

void TNetTCPClient::FireConnected() {
  if (OnConnected) OnConnected(this);
}
