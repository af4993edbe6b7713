// Fuzz target: bytes as a home page handed to the head reader a piece at a time, with the bombs a
// hostile site sends spliced in where the input says: byte 0x01 stands for 600 nested <div> (past
// the nesting limit), 0x02 for 1,000 end tags, 0x03 for 300 attributes (past the limit; the
// input's own bytes around them make them a start tag or not). The first byte sets the size of the
// pieces. Nothing may be raised; reading ends within its deadline plus one piece's work, the page
// read so far is counted, a reading that stopped early says why, and the kept texts stay within
// their limits.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "audit/PageHead.h"
#include "transport/NetDeadline.h"

namespace {

constexpr int kDeadlineMs = 500;
// One piece's work is bounded by its size times the nesting or attribute limit: far below this.
constexpr int kOverrunMs = 1000;

std::string Expand(const uint8_t* data, size_t size) {
  std::string page;
  for (size_t i = 0; i < size; ++i) {
    switch (data[i]) {
      case 0x01:
        for (int n = 0; n < 600; ++n) page += "<div>";
        break;
      case 0x02:
        for (int n = 0; n < 1000; ++n) page += "</b>";
        break;
      case 0x03:
        for (int n = 0; n < 300; ++n) page += " a" + std::to_string(n);
        break;
      default:
        page += static_cast<char>(data[i]);
    }
  }
  return page;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + static_cast<size_t>(data[0]) * 67;
  const std::string page = Expand(data + 1, size - 1);

  const auto started = std::chrono::steady_clock::now();
  const TNetDeadline deadline = TNetDeadline::In(kDeadlineMs);
  TPageHeadReader reader;
  TPageHeadEnd end = TPageHeadEnd::Whole;
  bool fed_all = true;
  for (size_t at = 0; at < page.size(); at += piece) {
    if (deadline.Passed()) {
      end = TPageHeadEnd::Deadline;
      break;
    }
    if (!reader.Feed(std::string_view(page).substr(at, piece))) {
      fed_all = at + piece >= page.size();
      break;
    }
  }
  const TPageHead head = reader.Finish(end);
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started)
                         .count();
  if (spent > kDeadlineMs + kOverrunMs) __builtin_trap();
  if (head.BytesRead > page.size()) __builtin_trap();
  // A reader that refused a piece says it went too deep.
  if (!fed_all && head.End != TPageHeadEnd::TooDeep) __builtin_trap();
  if (head.End == TPageHeadEnd::Whole && head.BytesRead != page.size()) __builtin_trap();
  for (const auto* text : {&head.Title, &head.Description}) {
    if (*text && (*text)->Text.size() > kPageHeadMaxText) __builtin_trap();
  }
  if (head.Canonicals.size() > kPageHeadMaxKept || head.RobotsMetas.size() > kPageHeadMaxKept)
    __builtin_trap();
  if (head.NonEmptyH1Count > head.H1Count) __builtin_trap();
  return 0;
}
