// The command-line parser and the help texts.
#ifndef APP_COMMANDLINE_H
#define APP_COMMANDLINE_H

#include <cstdint>

#include "app/Parameters.h"
#include "app/UpdaterDisplayInterface.h"

// Default update-server URLs, built from the host fixed at build time.
const char* _default_http_url();
const char* _default_https_url();

// Fills *p from the argument vector. Returns 0 on success, 1 when at least
// one value was malformed (each one is reported on the display). May permute
// argv (options and their values first, other arguments behind them) and cuts
// option=value arguments at their '='.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* p);

// `text` read as hexadecimal (low 32 bits). Returns 0, leaving *end alone,
// when `end` is null or `text` holds anything but hexadecimal digits.
uint32_t _get_hex_arg(const char* text, char** end);

// The same in base 10 with the digits 0-9.
uint32_t _get_int_arg(const char* text, char** end);

// Checks across options; every record is accepted today.
int _validate_params(Parameters* p);

// Releases what the record holds beyond its strings: nothing today.
int _release_params(Parameters* p);

// Writes the short usage to standard error; with `full` also the parameters
// and commands, with `full` and `extended` the extended block, and with `full`
// the samples.
void _display_usage(bool extended, bool full);

#endif
