// Stand-ins for every outside service the query jobs ask: one small HTTP server on loopback that
// answers like each search engine or ranking service would, with pages holding each request's
// delimiters around known values, in the charset and framing that service uses.
//
// Dispatch is by the Host header: in tests every service listens on a port of its own and
// HostFor() gives "127.0.0.1:PORT"; in the demo the real service names resolve to 127.0.0.1 and
// all of them share port 80. Every request head received is recorded.
//
// Thread-safety: all public methods may be called from any thread while the server runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class StandIn {
  Site,        // the queried site's own home page (job 0)
  Baidu,       // GBK pages, Content-Length
  Google,      // UTF-8 pages, chunked
  PageRank,    // GBK page naming images/pr/N.gif, Content-Length
  Yahoo,       // UTF-8 pages, read to the close
  Soso,        // GBK pages, chunked
  Sogou,       // GBK pages; a first request without the cookie is redirected with Set-Cookie
  Youdao,      // UTF-8 pages, Content-Length
  Bing,        // UTF-8 pages, chunked
  Alexa,       // UTF-8 page for the extraction rule, Content-Length
  ChinaRank,   // GBK page, read to the close
  Thumbnail,   // a JPEG picture
  kCount
};

// How a service misbehaves, for the failure paths.
enum class StandInFault {
  None,
  NotFound,      // 404 with a small body
  Silent,        // accepts, reads the request, never answers (until the server stops)
  CutUtf8,       // a UTF-8 page whose body ends inside a multi-byte sequence
  NotJpeg,       // the thumbnail service answers with PNG bytes
  RedirectLoop,  // a 302 back to the address asked, every time
};

struct StandInRequest {
  StandIn service;
  std::string head;  // the request line and header lines exactly as received, CR LF included
  std::chrono::steady_clock::time_point at{};  // when the head had arrived
};

class StandInServices {
 public:
  // Per-port mode: one ephemeral port per service on 127.0.0.1.
  StandInServices();
  // Shared-port mode (the demo): every service on `port` of `address`, told apart by the Host
  // header's name (the real service host names, and any other name is the site itself).
  StandInServices(const std::string& address, uint16_t port);
  ~StandInServices();

  // "127.0.0.1:PORT" of a service (per-port mode).
  std::string HostFor(StandIn service) const;
  uint16_t PortFor(StandIn service) const;

  void SetFault(StandIn service, StandInFault fault);
  // The home page's body and its Content-Type header value (default: a UTF-8 page).
  void SetHomePage(const std::string& body, const std::string& content_type);
  // The thumbnail bytes served as image/jpeg.
  void SetThumbnail(const std::string& jpeg);
  // Stands for the network between client and services: every connection accepted from now on
  // waits `delay` before its first request is read (the connect's round trip), and every answer
  // waits `delay` before it is sent. 0 (the default): no delay.
  void SetLatency(std::chrono::milliseconds delay);

  // Result pages as large as real ones: every text page gets about `bytes` of result-list markup
  // after its own content (0, the default: the bare pages).
  void SetPageSize(size_t bytes);
  // Text pages go out coded when the request's Accept-Encoding allows: Brotli from the services
  // that send chunks, gzip from the others (off by default).
  void SetCompression(bool on);

  std::vector<StandInRequest> Requests() const;
  std::vector<StandInRequest> RequestsFor(StandIn service) const;
  size_t RequestCount() const;
  // Connections accepted so far.
  size_t ConnectionCount() const { return connections_.load(); }

  // The value each result field must show after a full run against these stand-ins, as GBK
  // text, keyed by field name (Site1 ... Alexa5; WebTitle; not Alexa6, which is a time).
  static std::map<std::string, std::string> ExpectedFields(const std::string& site);
  // The home page's default title (GBK).
  static std::string ExpectedTitle();
  // A small valid JPEG (solid colour, 120 x 90) made once for the thumbnail.
  static const std::string& SampleJpeg();

  // The real service host names of the demo, by service.
  static const char* RealHost(StandIn service);

 private:
  struct Listener;
  void Start(const std::string& address, const std::vector<uint16_t>& ports);
  void AcceptLoop();
  void Serve(int fd, int listener_index);
  StandIn Classify(const std::string& host_header, int listener_index) const;
  // Waits the latency; false when the server is stopping.
  bool Delay() const;
  std::string Answer(StandIn service, const std::string& target, const std::string& cookie_line,
                     const std::string& accept_encoding, bool* close_after);

  bool shared_port_ = false;
  std::vector<int> listen_fds_;
  std::vector<uint16_t> ports_;
  int stop_pipe_[2] = {-1, -1};
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> connections_{0};
  std::atomic<int> latency_ms_{0};
  std::atomic<size_t> page_size_{0};
  std::atomic<bool> compression_{false};

  mutable std::mutex mu_;
  std::vector<std::thread> workers_;
  std::vector<int> open_fds_;
  std::vector<StandInRequest> requests_;
  StandInFault faults_[static_cast<int>(StandIn::kCount)] = {};
  std::string home_body_;
  std::string home_type_;
  std::string thumbnail_;
};
