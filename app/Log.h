// The diagnostic log: lines tagged with a package mask, written only when one
// of their bits was switched on with -X. A mask of 0 marks a line that is
// always written.
#ifndef APP_LOG_H
#define APP_LOG_H

#include <cstdint>
#include <cstdio>

// Package bits, as the extended help lists them.
#define DEBUG_Updater 0x00000001u
#define DEBUG_History 0x00000002u
#define DEBUG_Attributes 0x00000004u
#define DEBUG_BirdFile 0x00000008u
#define DEBUG_Network_Legacy 0x00000010u  // shown as DEBUG_Network in the help
#define DEBUG_ServerComm 0x00000020u
#define DEBUG_Network 0x00000100u
#define DEBUG_Network_SR 0x00000200u
#define DEBUG_Network_FIRM 0x00000400u
#define DEBUG_NXPSerial 0x00001000u
#define DEBUG_NXPSerial_E 0x00002000u
#define DEBUG_NXPSerial_SR 0x00004000u
#define DEBUG_APP 0x00010000u
#define DEBUG_iMXSerial 0x10000000u

class Log {
  public:
    Log() {}
    ~Log() {}

    // Formats into a 2048-byte buffer (cut to 2047 characters) and writes
    // exactly those characters to the output; no newline is added.
    static void log(uint32_t mask, const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Lines are dropped while no output is set.
    static void SetOutput(FILE* output) { fh = output; }
    static void ActivatePackage(uint32_t bits) { package_bitmask |= bits; }
    static void DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
    static uint32_t ActivePackages() { return package_bitmask; }

  private:
    static uint32_t package_bitmask;
    static FILE* fh;
};

#endif
