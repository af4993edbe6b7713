#include "audit/LibXml.h"

#include <libxml/parser.h>

void PrepareLibXml() {
  // A function-local static is initialised exactly once, the other threads waiting for it.
  static const bool kReady = (xmlInitParser(), true);
  (void)kReady;
}
