// What the shell's Tab completion offers for velmora-query, read from the program itself so
// that it never drifts from it (the hidden --completion-words prints it).
#pragma once

#include <ostream>

namespace CLI {
class App;
}

// One line per option of `app` that is shown in its help: the option's name, its argument's
// type name ("-" for a flag; "FIELD PAGE" for two arguments, "SET|FILE", ...) and the words
// its argument may take, all separated by tabs:
//   --services<TAB>SET|FILE<TAB>classic<TAB>current
//   --json<TAB>-
// The words: the built-in definition sets, the fields with steps in the definitions, the result
// fields, the check-up's check ids and the engines of keyword positions, each for the options
// that take them.
void WriteCompletionWords(const CLI::App& app, std::ostream& out);
