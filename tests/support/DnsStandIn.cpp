#include "support/DnsStandIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace {

constexpr int kTypeA = 1;
constexpr int kTypeAAAA = 28;

int Get16(const std::string& s, size_t at) {
  return (static_cast<uint8_t>(s[at]) << 8) | static_cast<uint8_t>(s[at + 1]);
}

void Put16(std::string& s, int v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v & 0xFF));
}

}  // namespace

DnsStandIn::DnsStandIn() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error("DnsStandIn: cannot bind");
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

DnsStandIn::~DnsStandIn() {
  stopping_ = true;
  thread_.join();
  close(fd_);
}

void DnsStandIn::Add(const std::string& name, const std::vector<std::string>& addresses) {
  std::string key;
  for (char c : name) key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  std::lock_guard<std::mutex> lock(mu_);
  names_[key] = addresses;
}

std::string DnsStandIn::Server() const { return "127.0.0.1:" + std::to_string(port_); }

void DnsStandIn::Serve() {
  char buf[1500];
  while (!stopping_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 12) continue;
    ++questions_;
    if (silent_) continue;
    const std::string reply = Answer(std::string(buf, static_cast<size_t>(n)));
    if (!reply.empty()) {
      sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
}

std::string DnsStandIn::Answer(const std::string& query) {
  // The one question: its labels, its type and class.
  size_t at = 12;
  std::string name;
  while (at < query.size() && query[at] != 0) {
    const size_t label = static_cast<uint8_t>(query[at]);
    if (label > 63 || at + 1 + label > query.size()) return "";
    if (!name.empty()) name += '.';
    for (size_t i = 0; i < label; ++i) {
      name.push_back(
          static_cast<char>(std::tolower(static_cast<unsigned char>(query[at + 1 + i]))));
    }
    at += 1 + label;
  }
  if (at + 5 > query.size()) return "";
  const int type = Get16(query, at + 1);
  const std::string question = query.substr(12, at + 5 - 12);

  bool exists;
  std::vector<std::string> records;  // rdata of the answers
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = names_.find(name);
    exists = it != names_.end();
    if (exists) {
      for (const std::string& address : it->second) {
        unsigned char bytes[16];
        if (type == kTypeA && inet_pton(AF_INET, address.c_str(), bytes) == 1) {
          records.emplace_back(reinterpret_cast<char*>(bytes), 4);
        } else if (type == kTypeAAAA && inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
          records.emplace_back(reinterpret_cast<char*>(bytes), 16);
        }
      }
    }
  }
  std::string reply = query.substr(0, 2);   // the id
  Put16(reply, 0x8180 | (exists ? 0 : 3));  // an answer, recursion done; NXDOMAIN
  Put16(reply, 1);
  Put16(reply, static_cast<int>(records.size()));
  Put16(reply, 0);
  Put16(reply, 0);
  reply += question;
  for (const std::string& rdata : records) {
    Put16(reply, 0xC00C);  // the name: a pointer to the question's
    Put16(reply, type);
    Put16(reply, 1);  // IN
    Put16(reply, 0);
    Put16(reply, 60);  // TTL
    Put16(reply, static_cast<int>(rdata.size()));
    reply += rdata;
  }
  return reply;
}
