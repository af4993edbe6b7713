// The query layer's operations under the names the program's description gives them
// (GetPage, TextBetween, DigitsOnly, TrimSuffix, ExtractByRule): the page fetcher, the rules
// and the page encodings, each in a unit of its own.
#pragma once

#include "query/PageEncoding.h"
#include "query/PageFetcher.h"
#include "query/PageRules.h"
