// Opens URLs in the user's default web browser through the desktop services. UI thread only.
#pragma once

#include "query/QueryController.h"

class TQtUrlOpener : public TUrlOpener {
 public:
  // url is GBK; it is handed over as typed, the browser's own escaping applies.
  void OpenUrl(const std::string& url) override;
};
