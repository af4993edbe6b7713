// velmora-query's keyword positions: where sites stand for keywords on each engine
// (--rank KEYWORD... [--keywords FILE] [--engines baidu,360,sogou,bing] [--depth 100]
// [--rank-subdomains] SITE...), stored in the history; a site's stored positions of a keyword
// (--history SITE --rank KEYWORD); and what an engine's definition reads from a saved result
// page (--try-rank ENGINE PAGE SITE).
//
// The engines' definitions are the [[rank]] entries of the definitions in use (--services, the
// user's file, else the classic set); when those define none, the current set's.
//
// Output is UTF-8: a table, --json (an array of sites), --jsonl (a site a line) or --csv (a row
// per site, keyword and engine).
#pragma once

#include <iosfwd>

// Whether argv asks for one of the tasks above (it names --rank, --keywords or --try-rank).
bool IsRankTask(int argc, const char* const* argv);
// Parses argv and runs the task. Exit status as ExitStatus.h says: 0 every position known
// (found or not in the depth; --try-rank: the site is on the page), 1 (--try-rank) not on the
// page, 2 bad arguments, 3 some position blocked, failed or stopped.
int RunRankTask(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
