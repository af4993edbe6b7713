// The definitions loader on arbitrary bytes as a user's file: it never crashes, and it never
// half-loads: every field of the result is either its definition in the built-in set the file
// lays over or an entry of the file that had no fault at all, and a field named in a problem
// keeps its built-in definition.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "services/ServiceFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const TServiceLoad load = ParseServices(text, "fuzz.toml", BuiltInServiceTable());
  if (load.Table == nullptr) std::abort();
  const TServiceTable* over = BuiltInServiceSet(load.Table->Name);
  if (over == nullptr) std::abort();
  const TServiceTable& builtin = *over;
  if (load.Table->Requests.size() != builtin.Requests.size()) std::abort();
  for (size_t i = 0; i < builtin.Requests.size(); ++i) {
    const TRequestDef& got = load.Table->Requests[i];
    const TRequestDef& was = builtin.Requests[i];
    if (got.Field != was.Field) std::abort();
    bool faulty = !load.FileUsed;
    for (const TServiceProblem& p : load.Problems) faulty |= p.Field == was.Field;
    if (faulty && !(got == was)) std::abort();
    // What the workers will do with an entry that was taken must hold for any site name.
    if (!(got == was)) {
      if (got.Field != "Image1" && got.Retired.empty() && got.Rules.empty()) std::abort();
      for (const TStepList& list : got.Rules) {
        if (list.empty()) std::abort();
      }
      try {
        (void)ExpandUrl(WithKey(got.Url, "key", true), "example.test", DefaultServiceHosts());
        if (!got.FirstVisit.empty()) {
          (void)ExpandUrl(got.FirstVisit, "example.test", DefaultServiceHosts());
        }
      } catch (...) {
        std::abort();
      }
    }
  }
  return 0;
}
