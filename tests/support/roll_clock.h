// A local clock placed just before a roll time of day, for the tests of "H:MMtm" rolling.
//
// Set_Zone_Before gives this process a time zone (TZ, then tzset) in which the local time of
// day is `ahead_s` seconds before `roll_second`. A sink looks at the clock first when it
// starts; if that start is slow (a loaded machine, an emulator) the roll time may already have
// passed, and the next roll would be a day away. Roll_Still_Ahead, asked after the sink has
// started, says whether the roll time is still ahead of now, and so of the sink's first look:
// when it is not, the test starts the sink again under a new zone instead of hoping.
//
// Thread-safety: Set_Zone_Before changes the process environment; call it while no other
// thread of the process runs (a forked child before it starts a sink).
#ifndef TESTS_SUPPORT_ROLL_CLOCK_H_
#define TESTS_SUPPORT_ROLL_CLOCK_H_

#include <stdint.h>

namespace mqw_test {

// `roll_second`: seconds since local midnight, below 86400; `ahead_s` below 86400.
void Set_Zone_Before(uint32_t roll_second, uint32_t ahead_s);

// 0 < seconds from the local time of day now until `roll_second` <= `ahead_s`.
bool Roll_Still_Ahead(uint32_t roll_second, uint32_t ahead_s);

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_ROLL_CLOCK_H_
