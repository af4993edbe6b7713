// The window program's command line: what a desktop entry, a user and the manual page's maker
// pass to it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "window/ProgramOptions.h"

namespace {

TEST(ProgramOptions, WhatTheCommandLineAsksFor) {
  const struct {
    std::vector<const char*> args;
    bool no_window;  // answered before a display is needed
    int status;      // -1: the window opens
    std::string services, site;
    const char* out;  // in standard output ("" for none)
  } kRows[] = {
      {{}, false, -1, "", "", ""},
      {{"www.velmora.com"}, false, -1, "", "www.velmora.com", ""},
      // A desktop entry's %u: a URL, which the window reads as it reads a typed one.
      {{"https://例子.测试/path?q=1"}, false, -1, "", "https://例子.测试/path?q=1", ""},
      {{"--services", "current", "a.test"}, false, -1, "current", "a.test", ""},
      {{"--services=/tmp/my.toml"}, false, -1, "/tmp/my.toml", "", ""},
      {{"--help"}, true, 0, "", "", "Usage: velmora [OPTIONS] [site]"},
      {{"-h", "--bogus"}, true, 0, "", "", "--services SET|FILE"},
      {{"--version"}, true, 0, "", "", "velmora " VELMORA_VERSION "\n"},
      {{"a.test", "--version"}, true, 0, "", "", "velmora " VELMORA_VERSION "\n"},
      // After "--" nothing is an option: no help is asked for (the window refuses the name).
      {{"--", "--help"}, false, -1, "", "--help", ""},
      {{"--bogus"}, false, 2, "", "", ""},
      {{"a.test", "b.test"}, false, 2, "", "a.test", ""},  // one site at a time
      {{"--services"}, false, 2, "", "", ""},
  };
  for (const auto& row : kRows) {
    std::vector<const char*> argv = {"velmora"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const std::string name = row.args.empty() ? "(none)" : row.args[0];
    EXPECT_EQ(AsksForHelpOrVersion(static_cast<int>(argv.size()), argv.data()), row.no_window)
        << name;
    TProgramOptions options;
    std::ostringstream out, err;
    const std::optional<int> status =
        ReadProgramOptions(static_cast<int>(argv.size()), argv.data(), options, out, err);
    EXPECT_EQ(status.value_or(-1), row.status) << name;
    EXPECT_EQ(options.Services, row.services) << name;
    EXPECT_EQ(options.Site, row.site) << name;
    EXPECT_NE(out.str().find(row.out), std::string::npos) << name << ": " << out.str();
    EXPECT_EQ(err.str().empty(), row.status != 2) << name << ": " << err.str();
  }
}

}  // namespace
