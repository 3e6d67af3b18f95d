#include "base/clock.h"

#include <chrono>

namespace corvane {

namespace {
class RealClock final : public Clock {
 public:
  double mediaTime() const override {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  double wallTime() const override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
};
}  // namespace

Clock& realClock() {
  static RealClock clock;
  return clock;
}

}  // namespace corvane
