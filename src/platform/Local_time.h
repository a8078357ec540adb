#pragma once

namespace Platform_ns {

struct LocalTime {
  int day = 0;     // 1-31
  int month = 0;   // 1-12
  int year = 0;    // four digits
  int hour = 0;    // 0-23
  int minute = 0;  // 0-59
};

LocalTime CurrentLocalTime();

}  // namespace Platform_ns
