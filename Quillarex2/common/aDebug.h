// Library debug output, switched on at run time by two globals.
#ifndef QUILLAREX_ADEBUG_H
#define QUILLAREX_ADEBUG_H

#include <cstdint>

// Master switch; off by default.
extern bool aQuillarexDebuggingEnable;
// Areas switched on (aDEBUG_AREA_* bits); none by default.
extern uint32_t aQuillarexDebuggingLevel;
// Both are plain globals read without locking: set them before the library
// starts threads.

#define aDEBUG_AREA_LINK 0x1u        // link creation, start, stop, registry, threads
#define aDEBUG_AREA_PACKETS 0x2u     // heartbeat and per-packet traces
#define aDEBUG_AREA_SERVER 0x4u      // network server
#define aDEBUG_AREA_MULTICAST 0x8u   // multicast sockets
#define aDEBUG_AREA_DISCOVERY 0x10u  // network discovery
#define aDEBUG_AREA_CLIENT 0x20u     // network client stream
#define aDEBUG_AREA_SHARING 0x40u    // automatic network sharing
#define aDEBUG_AREA_BEACON 0x200u    // beacon interface locking, network link specs
#define aDEBUG_AREA_USB 0x400u       // USB driver transfers

// True when debug output is on for any of the area bits given.
bool aDebug_IsOn(uint32_t area);

// When aDebug_IsOn(area): prints the formatted text and a newline to standard
// output as one line and flushes standard output. Safe from any thread.
void aDebug_Printf(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
