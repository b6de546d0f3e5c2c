#include "roll_clock.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace mqw_test {

namespace {

constexpr long kDay_s = 86400;

long Local_Second_Of_Day() {
  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return -1;
  return local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
}

}  // namespace

void Set_Zone_Before(uint32_t roll_second, uint32_t ahead_s) {
  // Local time = UTC - offset, with the offset west of Greenwich in [0, 24 h).
  const long utc = static_cast<long>(time(nullptr) % kDay_s);
  const long local = static_cast<long>(roll_second) - static_cast<long>(ahead_s);
  const long offset = ((utc - local) % kDay_s + kDay_s) % kDay_s;
  char zone[64];
  snprintf(zone, sizeof(zone), "XXX+%02ld:%02ld:%02ld", offset / 3600, offset / 60 % 60,
           offset % 60);
  setenv("TZ", zone, 1);
  tzset();
}

bool Roll_Still_Ahead(uint32_t roll_second, uint32_t ahead_s) {
  const long now = Local_Second_Of_Day();
  if (now < 0) return false;
  const long left = ((static_cast<long>(roll_second) - now) % kDay_s + kDay_s) % kDay_s;
  return left > 0 && left <= static_cast<long>(ahead_s);
}

}  // namespace mqw_test
