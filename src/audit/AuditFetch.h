// The check-up's fetch over a fetch session: one GET as a TAuditPage, whatever happens. The
// network's failures become Chinese words the way the program words them elsewhere ("连接超时",
// "找不到主机", ...), with the network layer's own message beside them.
//
// Thread-safety: AuditFetchPage may run on any number of threads at once over one session.
#pragma once

#include <functional>
#include <string>

#include "audit/AuditPage.h"
#include "http/NetFetchSession.h"
#include "transport/NetDeadline.h"

// What every fetch of one check-up shares.
struct TAuditFetchContext {
  int ReadTimeoutMs = 20000;      // each connect and read
  TNetDeadline Deadline;          // the whole check-up's end: no fetch outlasts it
  std::function<bool()> Stopped;  // true: the fetch ends with "已停止"
  std::string UserAgent;          // "": the client's own
  bool VerifyCertificate = true;  // false: read the site past a refused certificate
};

// GETs url through `session` as `options` ask. Never raises.
TAuditPage AuditFetchPage(TNetFetchSession& session, const std::string& url,
                          const TAuditFetchOptions& options, const TAuditFetchContext& context);

// The Chinese word for the failure being handled (call inside a catch block); `detail` gets
// the network layer's message.
std::string AuditFailureWord(std::string& detail);
