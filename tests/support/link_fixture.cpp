#include "support/link_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "common/aLink.h"
#include "support/fake_stream.h"

namespace qxtest {

std::unique_ptr<modsim::Simulator> StartSimulator(const std::vector<std::string>& modules) {
    modsim::SimConfig config;
    for (const std::string& text : modules) {
        config.modules.push_back(modsim::parseModuleSpec(text, false));
    }
    auto simulator = std::make_unique<modsim::Simulator>(config);
    simulator->open();
    simulator->start();
    return simulator;
}

uint32_t LinkInProcess(modsim::Simulator& simulator, uint32_t serial) {
    aStreamRef stream = CreateDescriptorStream(simulator.connectStream(serial));
    return stream != nullptr ? aLink_Create(stream) : 0;
}

int64_t Counter(modsim::Simulator& simulator, uint32_t serial, const std::string& name) {
    char key[16];
    std::snprintf(key, sizeof(key), "%08X", serial);
    const nlohmann::json counters = simulator.state()["modules"][key]["counters"];
    return counters.contains(name) ? counters[name].get<int64_t>() : 0;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool WaitForStatus(uint32_t id, uint32_t status, std::chrono::milliseconds patience) {
    return WaitUntil([&] { return aLink_GetStatus(id) == status; }, patience);
}

SimulatorProcess::SimulatorProcess(const std::string& program,
                                   const std::vector<std::string>& arguments) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return;
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    if (pid_ < 0) {
        close(pipeEnds[0]);
        return;
    }
    // Kept open while the program runs, so that a late line never meets a
    // closed pipe.
    output_ = fdopen(pipeEnds[0], "r");
    char line[256];
    while (output_ != nullptr && std::fgets(line, sizeof(line), output_) != nullptr) {
        if (std::strncmp(line, "ready", 5) == 0) {
            break;
        }
        unsigned serial = 0;
        unsigned port = 0;
        char address[64];
        if (std::sscanf(line, "module %x tcp %63s %u", &serial, address, &port) == 3) {
            ports_.push_back(static_cast<uint16_t>(port));
        }
    }
}

SimulatorProcess::~SimulatorProcess() {
    Kill();
}

void SimulatorProcess::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (output_ != nullptr) {
        std::fclose(output_);
        output_ = nullptr;
    }
}

}  // namespace qxtest
