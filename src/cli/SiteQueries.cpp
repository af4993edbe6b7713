#include "cli/SiteQueries.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "http/NetURI.h"
#include "runtime/CodePage.h"
#include "runtime/StrUtils.h"

// ---- TRequestPacer ----

std::string TRequestPacer::HostKey(const std::string& url) {
  const TNetURI uri(url);
  if (uri.Host.empty()) return "";
  return LowerCase(uri.Host) + ":" + std::to_string(ServerPort(uri));
}

void TRequestPacer::Begin(const std::string& url) {
  const std::string key = HostKey(url);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    THost& host = hosts_[key];
    if (!host.busy) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= host.next) {
        host.busy = true;
        return;
      }
      cv_.wait_until(lock, host.next);
    } else {
      cv_.wait(lock);
    }
  }
}

void TRequestPacer::End(const std::string& url) {
  const std::string key = HostKey(url);
  {
    std::lock_guard<std::mutex> lock(mu_);
    THost& host = hosts_[key];
    host.busy = false;
    host.next = std::chrono::steady_clock::now() + delay_;
  }
  cv_.notify_all();
}

// ---- RunSites ----

namespace {

// One site in flight.
struct TSlot {
  THeadlessView View;
  TNoUrlOpener Browser;
  std::unique_ptr<TQueryController> Controller;
  size_t Index = 0;
  bool Busy = false;
};

}  // namespace

std::vector<TQueryRecord> RunSites(const std::vector<std::string>& sites,
                                   const TSiteQueryOptions& options) {
  std::vector<TQueryRecord> records(sites.size());
  if (sites.empty()) return records;

  // Lives as long as the process: a worker may still be inside Post when its completion has
  // been handled.
  static TPumpQueue* queue = new TPumpQueue;
  TMainThreadQueue* previous = SetMainThreadQueue(queue);

  TQueryServices services = DefaultQueryServices();
  auto pages = std::make_shared<TGetPageFetcher>();
  auto images = std::make_shared<TNetImageFetcher>();
  pages->ReadTimeoutMs = images->ReadTimeoutMs = options.ReadTimeoutMs;
  if (options.DelayMs > 0) {
    services.Pacing = std::make_shared<TRequestPacer>(std::chrono::milliseconds(options.DelayMs));
  }
  services.Pages = pages;
  services.Images = images;
  services.Hosts = options.Hosts;
  services.Table = options.Table;
  services.Proxy = options.Proxy;

  std::vector<TSlot> slots(std::min<size_t>(std::max(options.Jobs, 1), sites.size()));
  size_t next = 0, done = 0;
  auto running = [&] {
    std::string names;
    for (const TSlot& slot : slots) {
      if (!slot.Busy) continue;
      if (!names.empty()) names += ", ";
      names += sites[slot.Index];
    }
    return names;
  };
  for (TSlot& slot : slots) {
    slot.Controller = std::make_unique<TQueryController>(slot.View, slot.Browser, services);
    slot.Controller->OnRunFinished = [&, s = &slot](const TQueryRecord& record) {
      records[s->Index] = record;
      s->Busy = false;
      ++done;
      if (options.OnRecord) options.OnRecord(s->Index, record);
      if (options.Progress) options.Progress(done, sites.size(), running());
    };
  }
  auto idle = [&] {
    return std::any_of(slots.begin(), slots.end(), [](const TSlot& s) { return !s.Busy; });
  };
  auto stop_asked = [&] { return options.Stop != nullptr && options.Stop->load(); };
  bool stopping = false;
  while (done < (stopping ? next : sites.size())) {
    if (!stopping && stop_asked()) {
      stopping = true;
      for (TSlot& slot : slots) {
        if (slot.View.Running()) slot.Controller->Begin_btnClick();  // the Stop button
      }
      continue;
    }
    // Starts sites on idle slots here rather than inside OnRunFinished: the run that just
    // ended is still being wound up when that fires.
    for (TSlot& slot : slots) {
      if (stopping || slot.Busy || next >= sites.size()) continue;
      slot.Index = next++;
      slot.Busy = true;
      slot.View.Site = sites[slot.Index];
      slot.Controller->Begin_btnClick();
      if (!slot.View.Running()) {  // too short a name: nothing started
        records[slot.Index].Site = sites[slot.Index];
        slot.Busy = false;
        ++done;
      }
    }
    queue->PumpUntil(
        [&] {
          return done == (stopping ? next : sites.size()) || (!stopping && stop_asked()) ||
                 (!stopping && next < sites.size() && idle());
        },
        options.Stop != nullptr ? kStopPollMs : 3600 * 1000);
  }
  // Every worker has reported; let them finish disposing of themselves before the queue goes.
  queue->PumpUntil([] { return MyThread::LiveCount() == 0; }, 60000);
  slots.clear();
  SetMainThreadQueue(previous);
  return records;
}

// ---- Splitting a list, times ----

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

std::optional<int64_t> ParseTimeText(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  const char* s = text.c_str();
  if (std::sscanf(s, "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3 || used != 10) {
    return std::nullopt;
  }
  size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    used = 0;
    if (std::sscanf(s + at + 1, "%2d:%2d%n", &hour, &minute, &used) != 2 || used != 5) {
      return std::nullopt;
    }
    at += 6;
    if (at < text.size() && text[at] == ':') {
      used = 0;
      if (std::sscanf(s + at + 1, "%2d%n", &second, &used) != 1 || used != 2) return std::nullopt;
      at += 3;
    }
  }
  std::optional<int> offset_minutes;  // east of UTC; nothing: local time
  const std::string zone = text.substr(at);
  if (zone == "Z") {
    offset_minutes = 0;
  } else if (!zone.empty()) {
    int zh = 0, zm = 0;
    used = 0;
    const bool colon = zone.size() == 6;
    if ((zone[0] != '+' && zone[0] != '-') || (zone.size() != 5 && !colon) ||
        std::sscanf(zone.c_str() + 1, colon ? "%2d:%2d%n" : "%2d%2d%n", &zh, &zm, &used) != 2 ||
        used != static_cast<int>(zone.size()) - 1 || zh > 23 || zm > 59) {
      return std::nullopt;
    }
    offset_minutes = (zone[0] == '-' ? -1 : 1) * (zh * 60 + zm);
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
      hour < 0 || minute < 0 || second < 0) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const std::tm asked = tm;
  const std::time_t t = offset_minutes ? ::timegm(&tm) : std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != asked.tm_mday) return std::nullopt;
  return (static_cast<int64_t>(t) - (offset_minutes ? *offset_minutes * 60 : 0)) * 1000;
}
