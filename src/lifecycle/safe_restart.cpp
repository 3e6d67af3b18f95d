#include "lifecycle/safe_restart.h"

namespace corvane {

SafeRestart& SafeRestart::shared() {
  static SafeRestart instance;
  return instance;
}

}  // namespace corvane
