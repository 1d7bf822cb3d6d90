#include "app/store/BuildPath.h"

#include "common/aDirectory.h"

namespace buildpath_detail {

bool _append_part(std::string& path, bool& ended, const char* part) {
    if (ended || part == nullptr) {
        ended = true;
        return false;
    }
    path += aDIR_PATH_SEP;
    path += part;
    return true;
}

bool _append_part(std::string& path, bool& ended, const std::string& part) {
    return _append_part(path, ended, part.c_str());
}

}  // namespace buildpath_detail
