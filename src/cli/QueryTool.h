// velmora-query, the command-line companion of the window: no Qt, no display. It queries sites
// with the window's controller and workers (velmora-query [options] SITE... or --file LIST,
// written as a table, --json or --csv, each run stored in the history), prints a site's stored
// history (--history SITE [--field NAME]), and works on the service definitions (trying a
// field's rule on a saved page, checking a definitions file, printing the built-in one).
//
// Output is UTF-8; texts of pages and rules are shown as the program sees them after the page's
// fetch mode (GBK inside, UTF-8 on the terminal).
#pragma once

#include <iosfwd>
#include <string>

#include "cli/ExitStatus.h"

// The whole program: parses argv and runs the task it names. Every write to `out` is flushed
// and checked; a failed one ends the program with one line on `err` and kToolOutputFailed.
int RunQueryTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// --try-rule FIELD PAGE: runs FIELD's steps and fallbacks (from services_file over the built-in
// definitions, the built-in set it names, or the classic set alone when it is "") on the page saved
// at page_path, read as the field's fetch mode reads it, and prints each step's result. site fills
// {site} in a between's start text.
int TryRule(const std::string& field, const std::string& page_path,
            const std::string& services_file, const std::string& site, std::ostream& out,
            std::ostream& err);
// --check-services FILE: the file's faults as the program reports them, or what it changes.
int CheckServices(const std::string& path, std::ostream& out);
// --dump-services [SET]: the built-in definitions file of SET ("classic", "current").
int DumpServices(const std::string& set, std::ostream& out, std::ostream& err);
