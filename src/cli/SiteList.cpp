#include "cli/SiteList.h"

#include <algorithm>
#include <iostream>

#include "cli/QueryReport.h"
#include "runtime/StrUtils.h"

std::optional<TSiteName> SiteNameOf(const std::string& typed, std::ostream& err) {
  TSiteName site = ParseSiteName(typed);
  if (site.Problem.empty()) return site;
  err << "velmora-query: not a site name: \"" << TerminalSafe(typed) << "\" (" << site.Problem
      << ")\n";
  return std::nullopt;
}

TSiteList::TSiteList(std::vector<TSiteName> named, std::string file,
                     std::optional<std::pair<int, int>> shard)
    : named_(std::move(named)), file_(std::move(file)), shard_(shard) {}

TSiteList::~TSiteList() = default;

bool TSiteList::InShard(const TSiteName& site) const {
  return !shard_ || ShardOfSite(site.Request, shard_->second) == shard_->first;
}

bool TSiteList::Open(std::ostream& err) {
  line_ = 0;
  if (file_ == "-") {
    in_ = &std::cin;
    return true;
  }
  own_ = std::make_unique<std::ifstream>(file_, std::ios::binary);
  in_ = own_.get();
  if (*own_) return true;
  err << file_ << ": cannot read the file\n";
  failed_ = true;
  return false;
}

std::optional<std::string> TSiteList::NextLine(std::istream& in, size_t& line_number,
                                               std::ostream& err) {
  std::streambuf& buffer = *in.rdbuf();
  std::string line;
  for (;;) {
    line.clear();
    bool too_long = false;
    int c = buffer.sbumpc();
    if (c == std::char_traits<char>::eof()) return std::nullopt;
    for (; c != std::char_traits<char>::eof() && c != '\n'; c = buffer.sbumpc()) {
      if (line.size() < kSiteListMaxLineBytes) {
        line += static_cast<char>(c);
      } else {
        too_long = true;
      }
    }
    if (++line_number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (too_long) {
      err << "velmora-query: " << (file_ == "-" ? "standard input" : file_) << ", line "
          << line_number << ": longer than " << kSiteListMaxLineBytes << " bytes\n";
      failed_ = true;
      return std::nullopt;
    }
    line = Trim(line);
    if (!line.empty() && line[0] != '#') return line;
  }
}

std::optional<TSiteName> TSiteList::NameOf(const std::string& typed, std::ostream& err) {
  std::optional<TSiteName> site = SiteNameOf(typed, err);
  if (!site) failed_ = true;
  return site;
}

bool TSiteList::Check(std::ostream& err) {
  count_ = static_cast<size_t>(
      std::count_if(named_.begin(), named_.end(), [&](const TSiteName& s) { return InShard(s); }));
  if (file_.empty()) return true;
  if (file_ == "-") {
    count_ = 0;
    return true;
  }
  if (!Open(err)) return false;
  while (const std::optional<std::string> line = NextLine(*in_, line_, err)) {
    const std::optional<TSiteName> site = NameOf(*line, err);
    if (!site) return false;
    count_ += InShard(*site);
  }
  own_.reset();
  in_ = nullptr;
  return !failed_;
}

std::optional<TSiteName> TSiteList::Next(std::ostream& err) {
  while (!failed_) {
    std::optional<TSiteName> site;
    if (next_named_ < named_.size()) {
      site = named_[next_named_++];
    } else if (file_.empty()) {
      return std::nullopt;
    } else {
      if (in_ == nullptr && !Open(err)) return std::nullopt;
      const std::optional<std::string> line = NextLine(*in_, line_, err);
      if (!line) return std::nullopt;
      site = NameOf(*line, err);
      if (!site) return std::nullopt;
    }
    if (!InShard(*site)) continue;
    if (skip_) {
      const std::optional<bool> skip = skip_(*site);
      if (!skip) {
        failed_ = true;
        return std::nullopt;
      }
      if (*skip) {
        ++skipped_;
        continue;
      }
    }
    return site;
  }
  return std::nullopt;
}

int ShardOfSite(const std::string& request_name, int count) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (char c : LowerCase(request_name)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return static_cast<int>(hash % static_cast<uint64_t>(count)) + 1;
}

std::optional<std::pair<int, int>> ParseShard(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  int part = 0, count = 0;
  const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
  auto digits = [](const std::string& s) {
    return !s.empty() && s.size() <= 4 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(k) || !digits(n) || !TryStrToInt(k, part) || !TryStrToInt(n, count)) {
    return std::nullopt;
  }
  if (part < 1 || count > 1000 || part > count) return std::nullopt;
  return std::make_pair(part, count);
}
