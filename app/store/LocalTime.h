// The time stamps of the store's records.
#ifndef APP_STORE_LOCALTIME_H
#define APP_STORE_LOCALTIME_H

#include <string>

// The current local time as ctime writes it, without its line feed (for
// example "Wed Jun 30 21:49:08 1993"); empty when it cannot be formatted.
std::string LocalTimeText();

#endif
