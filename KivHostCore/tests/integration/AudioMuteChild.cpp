// A host that silences the output and then dies without cleaning up: the integration tests kill it
// and check that the next start undoes what it left.
// Usage: kiv_audio_mute_child <pulse server> <settings file> <marker file>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
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
    for (;;)
        ::pause(); // killed here, still holding the output
}
