// Test helper: switches the process's time zone for the lifetime of an object.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <string>

// Switches the process's zone for one test. Zone names need the zone database; without it the
// equivalent POSIX rule is used.
class ScopedTimeZone {
 public:
  ScopedTimeZone(const char* name, const char* posix_rule) {
    const char* old = std::getenv("TZ");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    struct stat st;
    const bool have_db = stat((std::string("/usr/share/zoneinfo/") + name).c_str(), &st) == 0;
    setenv("TZ", have_db ? name : posix_rule, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_old_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_old_ = false;
  std::string old_;
};

// Zone arguments: the database name and the POSIX rule that stands in for it.
#define SHANGHAI "Asia/Shanghai", "CST-8"
#define NEW_YORK "America/New_York", "EST5EDT,M3.2.0,M11.1.0"
#define UTC_ZONE "UTC", "UTC0"
