// The window program's command line: `velmora [--services SET|FILE] [SITE]`, with --help and
// --version. Qt's own options (-platform, -style, ...) are taken out by QApplication before the
// rest is read; --help and --version are answered before, so that they need no display (the
// manual page is made from --help at build time).
#pragma once

#include <optional>
#include <ostream>
#include <string>

struct TProgramOptions {
  std::string Services;  // --services: a built-in set's name or a definitions file; "" if none
  std::string Site;      // a site name or URL to query at once (as typed, UTF-8); "" if none
};

// True when argv asks for --help (-h) or --version: the answer needs no window.
bool AsksForHelpOrVersion(int argc, const char* const* argv);

// Reads argv into `options`. Nothing when the window is to open; else the exit status after
// the help or version text on out (0) or one line about bad arguments on err (2).
std::optional<int> ReadProgramOptions(int argc, const char* const* argv, TProgramOptions& options,
                                      std::ostream& out, std::ostream& err);
