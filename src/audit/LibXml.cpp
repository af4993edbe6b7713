#include "audit/LibXml.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

namespace {

void Quiet(void*, const char*, ...) {}

}  // namespace

void PrepareLibXml() {
  // A function-local static is initialised exactly once, the other threads waiting for it.
  static const bool kReady = (xmlInitParser(), true);
  (void)kReady;
  // The generic error handler is one of libxml2's per-thread settings.
  thread_local const bool kQuiet = (xmlSetGenericErrorFunc(nullptr, Quiet), true);
  (void)kQuiet;
}
