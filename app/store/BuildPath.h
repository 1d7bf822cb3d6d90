// Joins path parts with "/", one separator before every part after the first,
// whether or not a separator is already there (BuildPath("/a/", "b") is
// "/a//b"). The parts end at the first null (nullptr or a null const char*),
// so BuildPath(a, b) and BuildPath(a, b, nullptr) are the same; there is no
// limit on the number of parts.
#ifndef APP_STORE_BUILDPATH_H
#define APP_STORE_BUILDPATH_H

#include <cstddef>
#include <string>

namespace buildpath_detail {

// Each returns false once the terminating null has been met.
bool _append_part(std::string& path, bool& ended, const char* part);
bool _append_part(std::string& path, bool& ended, const std::string& part);
inline bool _append_part(std::string&, bool& ended, std::nullptr_t) {
    ended = true;
    return false;
}

}  // namespace buildpath_detail

template <typename... Parts>
std::string BuildPath(const char* first, const Parts&... parts) {
    std::string path = first != nullptr ? first : "";
    bool ended = first == nullptr;
    (buildpath_detail::_append_part(path, ended, parts), ...);
    (void)ended;  // unused when there is only `first`
    return path;
}

#endif
