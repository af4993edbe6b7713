// libxml2 made ready once for the whole process, before any thread parses: its first
// initialisation is not safe to race, and the sitemap and page readers may start at once on
// several threads.
#pragma once

// Idempotent and thread-safe; call before each use of a libxml2 parser.
void PrepareLibXml();
