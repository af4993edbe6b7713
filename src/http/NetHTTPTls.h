// Giving an HTTP client a TLS-capable I/O handler. The handler knows nothing of HTTP: the client
// tells it, when it shakes hands, which server it means (the client's current host, also through
// a proxy tunnel) and hears its status events.
#pragma once

#include "http/NetHTTP.h"
#include "tls/NetSSLIOHandlerSocket.h"

// Gives `http` a TLS handler of its own, kept until the client is destroyed and surviving its
// closes (TNetCustomHTTP::AdoptIOHandler). The handler checks certificates against the client's
// current server (CurrentURI.Host, also through a proxy tunnel) and reports its statuses to the
// client's OnStatus. Call once, before the first request. Returns the handler (owned by http).
TNetSSLIOHandlerSocket* InstallTlsHandler(TNetCustomHTTP& http);
// InstallTlsHandler with a connection another client gave back (TNetCustomHTTP::AdoptConnection):
// its handler, when it is a TLS handler, is tied to `http` as InstallTlsHandler ties a new one.
// Without a connection, or with a handler of another kind, a new handler is installed instead
// (the connection is then closed).
TNetSSLIOHandlerSocket* InstallTlsHandler(TNetCustomHTTP& http, TNetIdleConnection connection);
