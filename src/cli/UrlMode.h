// velmora-query --url INPUT [--base URL] [--json]: a URL read as browsers read it, a webmaster's
// normaliser. Prints the canonical href and its parts (a table, or one JSON object), or
// "不是有效的网址" with the reason and exit status 2.
//
// Input and output are UTF-8. Pure apart from its two streams: safe on any thread.
#pragma once

#include <iosfwd>

namespace CLI {
class App;
}

// Whether argv asks for the URL mode (it holds --url).
bool IsUrlMode(int argc, const char* const* argv);
// Runs the URL mode on argv (its own options: --url, --base, --json).
int RunUrlMode(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
// Names the mode's options in `app`'s help; RunUrlMode parses them.
void DescribeUrlMode(CLI::App& app);
