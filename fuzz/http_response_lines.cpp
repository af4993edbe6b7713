// Fuzz target: an arbitrary header block read into a response record, then copied and written
// back. Only the Content-Range conversion error may be raised.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/NetAuthentication.h"
#include "http/NetHTTPHeaderInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TNetResponseHeaderInfo response;
  response.HeaderLines().SetText(text);
  try {
    response.ReadFromLines();
  } catch (const EConvertError&) {
  }
  TNetResponseHeaderInfo copy;
  response.CopyTo(copy);
  copy.WriteToLines();

  // The challenges it carried, through the Basic decision.
  TNetRequestHeaderInfo request;
  request.SetUsername(text.substr(0, size % 5));
  TNetOnAuthorization handler = [](TComponent*, TNetAuthentication* a, bool& handled) {
    handled = true;
  };
  (void)DecideAuthorization(nullptr, request, response, nullptr, handler);
  request.WriteToLines();
  return 0;
}
