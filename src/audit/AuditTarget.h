// Which servers a site name stands for, as the command line and the window read it.
//
// Pure functions: safe on any thread.
#pragma once

#include <string>

#include "audit/SiteAudit.h"

// `request_name` is a site's name as requests carry it, "host", "host:port", "[v6]" or
// "[v6]:port" (checked already: ASCII, the port 1-65535); `shown` is the same name as the user
// typed it. The target's Host is in lower case and keeps the brackets of an IPv6 address;
// HttpPort is the port the name gives, else 80.
TAuditTarget AuditTargetOf(const std::string& shown, const std::string& request_name,
                           int https_port = 443);
