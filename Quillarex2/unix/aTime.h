// Wall-clock milliseconds and sleeping.
#ifndef QUILLAREX_ATIME_H
#define QUILLAREX_ATIME_H

#include <cstdint>

// Milliseconds of the wall clock (time of day); 0 when it cannot be read.
// The wall clock can be set back or forward while the program runs.
uint64_t aTime_GetMSTicks();

// Sleeps at least ms milliseconds (0 returns at once), in steps of at most
// 999,999 microseconds. Signals do not cut the sleep short.
void aTime_MSSleep(uint64_t ms);

#endif
