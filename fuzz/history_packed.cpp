// Fuzz target: arbitrary bytes as a run's packed fields, as a shared history database may hold
// them after another program (or a person) wrote there. Nothing may be raised, and what
// PackFields makes of the fields read reads back the same.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "history/HistoryStore.h"

namespace {

// Opens the store's row helpers to the target (the store itself is never made).
struct TPacked : THistoryStore {
  using THistoryStore::FieldRows;
  using THistoryStore::PackFields;
  using THistoryStore::TRunAssembler;
};

THistoryQuery ReadPacked(std::string_view packed, const std::vector<TResultField>& only) {
  THistoryQuery run;
  const std::function<void(const THistoryQuery&)> keep = [&](const THistoryQuery& q) { run = q; };
  TPacked::TRunAssembler runs(keep, only);
  runs.Add(1, "fuzz.example", 0, "classic", std::nullopt);
  runs.AddPacked(packed);
  runs.Finish();
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view packed(reinterpret_cast<const char*>(data), size);
  const THistoryQuery all = ReadPacked(packed, {});
  (void)ReadPacked(packed, {rfSite1, rfPicture});
  // Packed again and read again, the run is what it was.
  const THistoryQuery again = ReadPacked(TPacked::PackFields(TPacked::FieldRows(all.Record)), {});
  for (int f = rfSite1; f <= rfPicture; ++f) {
    const TFieldResult& a = all.Record.Result(static_cast<TResultField>(f));
    const TFieldResult& b = again.Record.Result(static_cast<TResultField>(f));
    // (A text goes through the GBK conversion both ways, which is its own business.)
    const bool ascii = std::all_of(a.Text.begin(), a.Text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (a.State != b.State || (ascii && a.Text != b.Text) || a.Fetch.Url != b.Fetch.Url ||
        a.Fetch.Detail != b.Fetch.Detail || a.Fetch.HttpStatus != b.Fetch.HttpStatus) {
      __builtin_trap();
    }
  }
  // Numbers are made again from the texts when a run is packed: packed once more, they stay
  // (one written as its text is, too).
  const THistoryQuery third = ReadPacked(TPacked::PackFields(TPacked::FieldRows(again.Record)), {});
  for (int f = 0; f < kTextFieldCount; ++f) {
    const std::optional<double>& x = again.Numbers[f];
    const std::optional<double>& y = third.Numbers[f];
    if (x.has_value() != y.has_value() || (x && *x != *y && !(std::isnan(*x) && std::isnan(*y))))
      __builtin_trap();
  }
  return 0;
}
