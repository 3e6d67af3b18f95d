// The program's entry: one executable for the menu-bar application and all its helper roles.
#include <iostream>
#include <string>
#include <vector>

#include "app/process_entry.h"
#include "platform/backend.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  return corvane::runProcessEntry(arguments, corvane::makeBackendFromEnvironment, std::cout, std::cerr);
}
