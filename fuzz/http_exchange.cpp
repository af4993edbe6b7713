// Feeds arbitrary server answers to a whole PerformRequest through a loopback socket: the first
// input byte picks the client's settings, the rest is everything the server sends before it
// closes its side. Redirects, retries, interim heads, cookies and every body framing run as
// they come; a second connection is never made (the I/O handler refuses to connect), so no
// input can reach the network. Nothing may crash or hang, and a body never holds more bytes
// than the server sent (than the body limit, when coded bodies are decoded).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "LoopbackPeer.h"
#include "http/NetHTTP.h"

namespace {

constexpr size_t kMaxInput = 1 << 16;  // fits the loopback buffers: the peer never blocks

// A socket handler that is connected once, by the harness; any reconnect fails at once.
class OneShotHandler : public TNetIOHandlerSocket {
 public:
  void ConnectClientTo(const std::string&, int, int, int, int, int, const std::string&) override {
    throw ENetException("no second connection while fuzzing");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  static const fuzzpeer::LoopbackListener listener;
  const uint8_t mode = data[0];
  const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);

  listener.DropStale();
  int peer = listener.Connect();
  if (peer < 0) return 0;  // the machine's limit, not a finding

  OneShotHandler handler;  // not owned by the client: it outlives every close
  {
    TNetHTTP http;
    http.SetIOHandler(&handler, false);
    handler.Open();
    try {
      if (!handler.Binding()->Accept(listener.Fd())) throw ENetException("not accepted");
    } catch (const ENetException&) {
      http.SetIOHandler(nullptr);
      fuzzpeer::ResetAndClose(peer);  // the machine's limit, not a finding
      return 0;
    }
    // Whichever side closes first resets, so no run leaves a TIME_WAIT behind: tens of
    // thousands of runs would otherwise use up the local ports.
    linger reset{1, 0};
    handler.Binding()->SetSockOpt(SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (!fuzzpeer::SendAll(peer, answer.data(), answer.size())) abort();
    shutdown(peer, SHUT_WR);  // the server has said all it will; it still takes our requests

    http.SetHost("fuzz.test");  // the connection above counts as the one to fuzz.test:80
    http.SetPort(80);
    http.SetReadTimeout(500);
    http.SetHandleRedirects(mode & 0x01);
    http.SetProtocolVersion((mode & 0x02) ? pv1_0 : pv1_1);
    if (mode & 0x04) http.SetHTTPOptions(hoInProcessAuth);
    if (mode & 0x08) {
      http.OnAuthorization = [](TComponent*, TNetAuthentication* auth, bool& handled) {
        auth->SetUsername("u");
        handled = true;
      };
    }
    if (mode & 0x10) http.SetMaxLineLength(0);
    http.SetAcceptCompression(mode & 0x80);  // bodies then pass the content decoder
    TNetHTTPLimits limits;
    limits.MaxBodyBytes = (mode & 0x20) ? 100 : int64_t{1} << 20;
    limits.FetchDeadlineMs = 5000;
    http.SetLimits(limits);
    TNetHTTPMethod method = (mode & 0x40) ? hmHead : hmGet;

    TMemoryStream body;
    try {
      http.PerformRequest(method, "http://fuzz.test/a/b.htm?q=1", &body, nullptr);
    } catch (const Exception&) {
      // Protocol errors, closes, limits and refusals all end a fetch; none may crash.
    }
    // A decoded body may outgrow the bytes sent, never the limit.
    const int64_t most = (mode & 0x80) ? limits.MaxBodyBytes : static_cast<int64_t>(answer.size());
    if (body.Size() > most) abort();
    http.SetIOHandler(nullptr);
  }
  fuzzpeer::ResetAndClose(peer);
  return 0;
}
