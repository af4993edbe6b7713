// Service definitions read from a TOML file (the built-in resources/services.toml, or the
// user's copy), into the plain TServiceTable the workers read. Only this unit knows TOML.
//
// A file lists [[field]] entries. Over a base table (the built-in one), each entry replaces the
// base definition of the field it names, in the base's place; fields the file leaves out keep
// theirs. An entry with any fault is not used at all: its field keeps the base definition and
// the fault is reported with its place. A file that is not TOML, or cannot be read, changes
// nothing. Texts in the file are UTF-8 and become GBK in the table.
//
// Pure functions of their arguments (reading a file aside): safe on any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "services/ServiceTable.h"

// The name the built-in file goes by in messages.
inline constexpr const char* kBuiltInServicesName = "services.toml (built in)";
// The built-in sets by name: "classic" (resources/services.toml, the default) describes the
// services as the program has always asked them; "current" (resources/services-current.toml)
// today's.
inline constexpr const char* kClassicSet = "classic";
inline constexpr const char* kCurrentSet = "current";

// One fault of a definitions file. Texts are UTF-8.
struct TServiceProblem {
  std::string File;
  int Line = 0;       // 1-based; 0 when the fault has no place in the file (it cannot be read)
  int Column = 0;     // 1-based, in characters
  std::string Field;  // the field whose entry is not used; empty when the whole file is not
  std::string Message;
  // "file:line:column: message" ("file: message" without a place).
  std::string Text() const;
  bool operator==(const TServiceProblem&) const = default;
};

struct TServiceLoad {
  std::shared_ptr<const TServiceTable> Table;  // never null
  std::vector<TServiceProblem> Problems;       // in the order of their places in the file
  bool FileUsed = true;  // false: the file could not be read or is not TOML; nothing of it is used
  bool Ok() const { return Problems.empty(); }
};

// The built-in definitions file as shipped (UTF-8): what --dump-services prints.
std::string_view BuiltInServicesText();
// The file of the built-in set named `set`; empty for a name that is none.
std::string_view BuiltInServicesText(const std::string& set);
// The definitions the program ships with: the classic set, read once.
const TServiceTable& BuiltInServiceTable();
// The built-in set named `set` ("classic", "current"), read once; null for a name that is none.
const TServiceTable* BuiltInServiceSet(const std::string& set);

// Reads `text`, the contents of `file` (named in messages), over `base`. With an empty base the
// file defines the fields by itself (that is how the built-in file is read): every entry is
// complete, and the table holds the entries without faults in the file's order.
TServiceLoad ParseServices(std::string_view text, const std::string& file,
                           const TServiceTable& base);
// ParseServices over the built-in classic table (or the set the file's `base` names) of the file
// at `path`; a file that cannot be read is one problem and changes nothing.
TServiceLoad LoadServicesFile(const std::string& path);

// Where the user's definitions live: $XDG_CONFIG_HOME/velmora/services.toml, or
// ~/.config/velmora/services.toml when XDG_CONFIG_HOME is unset or empty; "" when neither
// variable helps.
std::string UserServicesPath();
// The file a program run reads: `requested` (from --services) when given, else the user's file
// when it exists, else "" (the built-in definitions alone). A built-in set's name is no file
// (LoadServicesToUse); "./current" names a file of that name.
std::string ServicesFileToUse(const std::string& requested);
// The definitions a program run uses: the built-in set `requested` names, else the file
// ServicesFileToUse names over the built-in set its `base` names, or the classic set alone (no
// problems).
TServiceLoad LoadServicesToUse(const std::string& requested);

// The problems of a load for the user, one per line after a heading that names the fields that
// keep their built-in definitions; "" when there are none. UTF-8.
std::string ProblemsReport(const TServiceLoad& load);

// toml++ 3.3 reaches a point it declares unreachable when it meets some characters outside a
// text (see ServiceFile.cpp). Every TOML file the program reads goes to the parser as
// TomlParserText (those characters moved, one for one, into a private-use block), and every text
// it reads back comes out through TomlFileText.
std::string TomlParserText(std::string_view text);
std::string TomlFileText(std::string_view parsed);
