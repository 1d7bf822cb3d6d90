// Requests to the update server: one static operation per query. Each builds
// its query, performs one GET of `url` (the built-in default_url when null),
// checks the answer (status 200, first line beginning with "ok") and parses
// the lines after it. Each returns true on success and false on any failure,
// writing its outputs only on success unless noted. All diagnostics go to the
// log under DEBUG_ServerComm; callers show their own messages.
#ifndef APP_SERVER_UPDATESERVERREQUEST_H
#define APP_SERVER_UPDATESERVERREQUEST_H

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
  public:
    // "http://" + the build-time server host + "/cgi/u".
    static const char* const default_url;

    // Is the server reachable and willing.
    static bool ping(const char* url);

    // The module's latest build number (line 2, as text) and the text naming
    // its firmware (line 3, up to a carriage return or line feed), which
    // GetBuild passes back. A missing line leaves its output unchanged.
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmware,
                           const char* url);

    // One build's BIRD file as Base64 text: `data` is emptied, then set to line
    // 2 when there is one. `firmware` and `build` are percent-encoded where
    // they hold characters that are not safe in a URL.
    static bool GetBuild(unsigned serial, const char* firmware, const char* build,
                         std::string& data, const char* url, bool noCal);

    // Build number text to version text, one "build;version" line each; the
    // first line of a build wins. `builds` is cleared at the start, also when
    // the call then fails.
    static bool GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                             const char* url);

    // The serial number (line 2, hexadecimal) and the build (line 3, decimal,
    // 0x hexadecimal or 0 octal) of the module in recovery with the four-word
    // `fingerprint`. A missing line leaves its output unchanged.
    static bool GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial, unsigned* build,
                                const char* url);

    // The module's feature token, header.payload.signature, each part at
    // least two characters (the signature may hold further dots).
    static bool GetDeviceJWT(unsigned serial, std::string& token, const char* url);

    // The (build, version) pairs of a build list, newest version first.
    // Versions are three dot-separated decimal numbers, each compared as an
    // unsigned 8-bit value (2.256.0 compares like 2.0.0); equal versions keep
    // build-number (key) order. Builds whose version is not three such numbers
    // come after all others, in key order.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);

    // "major.minor.patch" cut at its dots: the three parts, or nothing when
    // there are not exactly three.
    static std::vector<std::string> SplitQuillarexVersion(std::string version);
};

// Forwards to UpdateServerRequest::ping.
bool ping_wrap(const char* url);

#endif
