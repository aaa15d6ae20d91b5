// A host that silences the output and then dies without cleaning up: the integration tests kill it
// and check that the next start undoes what it left. With "exit" it ends by exit(1) instead, as a
// toolkit does when its display goes, with the output restore armed for the way out. With "guarded"
// it starts the host guard first, as the programs do.
// Usage: kiv_audio_mute_child <pulse server> <settings file> <marker file> [exit|guarded]
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Linux/HostGuard.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) return 2;
    const bool exits = argc == 5 && std::string(argv[4]) == "exit";
    if (argc == 5 && std::string(argv[4]) == "guarded") {
        kiv::startHostGuard(argv[2]);
        kiv::armHostGuard({});
    }
    kiv::MainLoop main;
    std::thread loop([&] { main.run(); });
    auto devices = kiv::PulseAudioDevices::create(main, std::string(argv[1]));
    auto store = std::make_shared<kiv::JsonFileKeyValueStore>(argv[2]);
    kiv::HostOutputMuter muter(devices, store);
    bool muted = false;
    main.sync([&] { muted = muter.mute(); });
    if (!muted) return 1;
    for (int i = 0; i < 1000 && !devices->isRouted(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!devices->isRouted()) return 1;
    std::ofstream(argv[3]) << "routed\n";
    if (exits) {
        const std::string server = argv[1];
        kiv::restoreOutputAtExit(
            [server](kiv::Executor& queue) { return kiv::PulseAudioDevices::create(queue, server); }, store);
        std::exit(1); // no unwinding: the muter and its loop are still there
    }
    for (;;)
        ::pause(); // killed here, still holding the output
}
