#include "cli/SiteQueries.h"

#include <algorithm>

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
