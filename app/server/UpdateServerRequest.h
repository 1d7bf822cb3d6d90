// Requests to the update server. For now: the ordering of build lists.
#ifndef APP_SERVER_UPDATESERVERREQUEST_H
#define APP_SERVER_UPDATESERVERREQUEST_H

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
  public:
    // The (build, version) pairs of a build list, newest version first.
    // Versions are three dot-separated decimal numbers, each compared as an
    // unsigned 8-bit value (2.256.0 compares like 2.0.0); equal versions keep
    // build-number (key) order. Builds whose version is not three such numbers
    // come after all others, in key order.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);
};

#endif
