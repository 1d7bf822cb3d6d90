// The catalogue the update server serves: BIRD files of builds and the list
// of modules it knows. It is read once at start-up and then only queried, so
// any number of threads may use it at the same time.
#ifndef UPDATE_SERVER_CATALOGUE_H
#define UPDATE_SERVER_CATALOGUE_H

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "update-server/bird_reader.h"

namespace update_server {

// Chip identity of a module in recovery: four 32-bit words in order.
using Fingerprint = std::array<uint32_t, 4>;

struct Build {
    BirdIdentity identity;
    std::string file;  // path of the BIRD file
    std::vector<uint8_t> bytes;
};

struct Module {
    unsigned serial = 0;
    unsigned model = 0;
    std::string modelName;  // the name a BIRD file for this model starts its model field with
    bool hasFingerprint = false;
    Fingerprint fingerprint{};
    std::vector<std::string> features;
    bool buildsListed = false;     // builds= given: only those builds apply
    std::vector<unsigned> builds;  // sorted ascending, the builds that apply
    unsigned recoveryBuild = 0;    // build answered for a fingerprint; 0 = latest
};

// A catalogue that cannot be used; the text names the file and the reason.
class CatalogueError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Orders version texts of three dot-separated decimal numbers; texts of any
// other form come before all well-formed ones, in byte order among
// themselves. Returns <0, 0 or >0.
int CompareVersions(const std::string& a, const std::string& b);

class Catalogue {
  public:
    // Reads DIR/modules.txt and every DIR/builds/*.bird. Damaged BIRD files
    // are skipped with a line in warnings(); a modules file that cannot be
    // read or parsed, or a module that names a build it cannot have, throws
    // CatalogueError.
    static Catalogue Load(const std::string& dir);

    // Builds a catalogue from a modules file text and BIRD file images
    // (name, bytes), with the same rules as Load.
    static Catalogue FromParts(
        const std::string& modulesText,
        const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files,
        const std::string& modulesName = "modules.txt");

    const Module* FindModule(unsigned serial) const;
    const Module* FindModule(const Fingerprint& fingerprint) const;
    const Build* FindBuild(unsigned build) const;

    // Builds that apply to a module, by ascending build number.
    std::vector<const Build*> BuildsFor(const Module& module) const;
    // The newest of them: highest version, then highest build number; null
    // when none applies.
    const Build* LatestFor(const Module& module) const;
    // The build answered for a module in recovery; null when none applies.
    const Build* RecoveryFor(const Module& module) const;
    // Text naming a module's firmware in the build query; the download names
    // it again.
    static std::string FirmwareName(const Module& module) { return module.modelName; }

    const std::vector<std::string>& warnings() const { return warnings_; }
    size_t moduleCount() const { return modules_.size(); }
    size_t buildCount() const { return builds_.size(); }

  private:
    bool Applies(const Build& build, const Module& module) const;

    std::map<unsigned, Build> builds_;
    std::map<unsigned, Module> modules_;
    std::vector<std::string> warnings_;
};

}  // namespace update_server

#endif
