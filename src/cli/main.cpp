// velmora-query: the command-line companion (see cli/QueryTool.h).
#include <iostream>

#include "cli/QueryTool.h"
#include "runtime/Thread.h"

int main(int argc, char** argv) {
  MarkMainThread();
  return RunQueryTool(argc, argv, std::cout, std::cerr);
}
