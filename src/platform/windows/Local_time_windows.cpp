#include "platform/Local_time.h"

#include <windows.h>

namespace Platform_ns {

LocalTime CurrentLocalTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalTime result;
  result.day = now.wDay;
  result.month = now.wMonth;
  result.year = now.wYear;
  result.hour = now.wHour;
  result.minute = now.wMinute;
  return result;
}

}  // namespace Platform_ns
