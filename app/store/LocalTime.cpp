#include "app/store/LocalTime.h"

#include <ctime>

std::string LocalTimeText() {
    const time_t now = time(nullptr);
    char text[64] = "";
    if (ctime_r(&now, text) == nullptr) {
        return std::string();
    }
    std::string result = text;
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) {
        result.pop_back();
    }
    return result;
}
