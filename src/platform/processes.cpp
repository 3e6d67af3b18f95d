#include "platform/processes.h"

namespace corvane {

bool Processes::startDetached(const std::string&, const std::vector<std::string>&, std::string* error) {
  if (error) *error = "this system cannot start a program that outlives the application";
  return false;
}

}  // namespace corvane
