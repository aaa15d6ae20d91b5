// The settings and pairings file as it is found on disk, whatever wrote it: it is read, or moved
// aside and the store starts empty; pairings read from it never crash and never match a token that
// is not stored.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Service/PairingStore.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv;
    static const auto folder = [] {
        auto path = std::filesystem::temp_directory_path() / ("kiv-fuzz-settings-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = JsonFileKeyValueStore::parse(text);

    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const auto file = folder / "kivdisplay-host.json";
    std::ofstream(file, std::ios::binary) << text;
    auto store = std::make_shared<JsonFileKeyValueStore>(file);
    const bool problem = store->takeProblem().has_value() || (store->value("hostID"), store->takeProblem());
    if (parsed.has_value() == problem) __builtin_trap(); // the store and the parser disagree
    KeyValuePairingStore pairings(store);
    for (const auto& device : pairings.pairedDevices()) {
        if (pairings.isPaired(device.deviceID, std::nullopt)) __builtin_trap();
        static_cast<void>(pairings.isPaired(device.deviceID, std::string("not the token")));
    }
    return 0;
}
