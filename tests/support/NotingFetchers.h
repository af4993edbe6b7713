// The production page fetcher and thumbnail download, noting every URL they are asked for, for
// tests and benchmarks that check or replay a query's requests. Header-only: the test support
// library does not link the query layer. Safe from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "query/MyThreadUnit.h"

class TNotingPages : public TGetPageFetcher {
 public:
  TPageResult FetchPage(const std::string& url, const std::string& cookie, TFetchMode mode,
                        TQueryRun& run) override {
    Note(url);
    return TGetPageFetcher::FetchPage(url, cookie, mode, run);
  }
  void Note(const std::string& url) {
    std::lock_guard<std::mutex> lock(mu_);
    urls_.push_back(url);
  }
  // Every URL noted so far, pages and pictures, in the order they were asked.
  std::vector<std::string> Urls() {
    std::lock_guard<std::mutex> lock(mu_);
    return urls_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> urls_;
};

// Notes its URLs with the page fetcher's.
class TNotingImages : public TNetImageFetcher {
 public:
  explicit TNotingImages(std::shared_ptr<TNotingPages> pages) : pages_(std::move(pages)) {}
  void Get(const std::string& url, TStream& destination, TQueryRun& run) override {
    pages_->Note(url);
    TNetImageFetcher::Get(url, destination, run);
  }

 private:
  std::shared_ptr<TNotingPages> pages_;
};
