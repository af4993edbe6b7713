// The definitions loader on arbitrary bytes as a user's file: it never crashes, and it never
// half-loads: every field of the result is either its built-in definition or an entry of the
// file that had no fault at all, and a field named in a problem keeps its built-in definition.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "services/ServiceFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const TServiceTable& builtin = BuiltInServiceTable();
  const TServiceLoad load = ParseServices(text, "fuzz.toml", builtin);
  if (load.Table == nullptr || load.Table->Requests.size() != builtin.Requests.size()) std::abort();
  for (size_t i = 0; i < builtin.Requests.size(); ++i) {
    const TRequestDef& got = load.Table->Requests[i];
    const TRequestDef& was = builtin.Requests[i];
    if (got.Field != was.Field) std::abort();
    bool faulty = !load.FileUsed;
    for (const TServiceProblem& p : load.Problems) faulty |= p.Field == was.Field;
    if (faulty && !(got == was)) std::abort();
    // What the workers will do with an entry that was taken must hold for any site name.
    if (!(got == was)) {
      if (got.Field != "Image1" && got.Rules.empty()) std::abort();
      for (const TStepList& list : got.Rules) {
        if (list.empty()) std::abort();
      }
      try {
        (void)ExpandUrl(got.Url, "example.test", DefaultServiceHosts());
      } catch (...) {
        std::abort();
      }
    }
  }
  return 0;
}
