#include "platform/Local_time.h"

#include <ctime>

namespace Platform_ns {

LocalTime CurrentLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  LocalTime result;
  result.day = parts.tm_mday;
  result.month = parts.tm_mon + 1;
  result.year = parts.tm_year + 1900;
  result.hour = parts.tm_hour;
  result.minute = parts.tm_min;
  return result;
}

}  // namespace Platform_ns
