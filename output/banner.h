// Internal side of the build and machine banner.
#ifndef TIMETREE_OUTPUT_BANNER_H
#define TIMETREE_OUTPUT_BANNER_H

#include <cstdint>
#include <ctime>

namespace timetree {

// The MS-DOS date word of a UTC time: bits 0-4 day, 5-8 month, 9-15 years
// since 1980. False for a year outside 1980..2107.
bool DosDateFromTime(time_t utc, uint16_t* date);

// The machine line for a processor architecture name (as uname reports it),
// or null when the architecture gives none.
const char* MachineLine(const char* architecture);

// Makes the banner use architecture instead of the machine's own; null
// restores the machine's.
void SetArchitectureForTesting(const char* architecture);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_BANNER_H
