// A name server on 127.0.0.1 and an ephemeral UDP port, for lookups that must not leave the
// machine: it answers A and AAAA questions for the names it was given, NXDOMAIN for any other
// name, and nothing at all while silent. Every question is counted.
//
// Thread-safety: the public methods may be called from any thread while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DnsStandIn {
 public:
  DnsStandIn();
  ~DnsStandIn();
  DnsStandIn(const DnsStandIn&) = delete;
  DnsStandIn& operator=(const DnsStandIn&) = delete;

  // The addresses of `name` (dotted quads for A, IPv6 text for AAAA); a name added with no
  // addresses exists but has none.
  void Add(const std::string& name, const std::vector<std::string>& addresses);
  // Silent: questions are read and counted but never answered.
  void SetSilent(bool on) { silent_ = on; }
  // "127.0.0.1:PORT", as SetNetNameServers takes it.
  std::string Server() const;
  int Questions() const { return questions_.load(); }

 private:
  void Serve();
  std::string Answer(const std::string& query);

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> silent_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<int> questions_{0};
  mutable std::mutex mu_;
  std::map<std::string, std::vector<std::string>> names_;  // lower-case name -> addresses
  std::thread thread_;
};
