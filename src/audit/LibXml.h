// libxml2 made ready once for the whole process, before any thread parses: its first
// initialisation is not safe to race, and the sitemap and page readers may start at once on
// several threads. Its complaints that reach no parser's own handler (a failed charset
// conversion, say) are silenced on the calling thread instead of going to stderr: the readers
// report what they need in their results.
#pragma once

// Idempotent and thread-safe; call before each use of a libxml2 parser.
void PrepareLibXml();
