// The two clocks the system reads: the monotonic media clock (seconds, for deadlines, throttles and
// caches) and the wall clock (seconds since the Unix epoch, for absence times and log dates).
// Core code reads time only through this interface so that tests can run it in virtual time.
#pragma once

namespace corvane {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic seconds from an arbitrary origin; never goes backwards.
  virtual double mediaTime() const = 0;
  // Seconds since 1970-01-01T00:00:00Z.
  virtual double wallTime() const = 0;
};

// The process's real clocks (steady clock and system clock).
Clock& realClock();

}  // namespace corvane
