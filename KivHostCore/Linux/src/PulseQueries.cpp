#include <fmt/format.h>
#include <pulse/ext-stream-restore.h>

#include "PulseDevicesImpl.hpp"

namespace kiv::pulse_devices {

const KivLogger& logger() {
    static const KivLogger log = KivLog::logger("Audio");
    return log;
}

const std::string kSinkName{kCaptureSinkName};
const std::string kMonitorName = kSinkName + ".monitor";

namespace {
template <class Item, class Info, class Launch>
std::optional<std::vector<Item>> list(PulseConnection& connection, Launch launch, Item (*convert)(const Info&)) {
    struct Result {
        PulseConnection* connection;
        Item (*convert)(const Info&);
        std::vector<Item> items;
    } result{&connection, convert, {}};
    auto* op = launch(
        connection.context(),
        [](pa_context*, const Info* info, int eol, void* user) {
            auto* r = static_cast<Result*>(user);
            if (eol != 0 || !info) {
                r->connection->signal();
                return;
            }
            r->items.push_back(r->convert(*info));
        },
        &result);
    if (!connection.waitFor(op)) return std::nullopt;
    return result.items;
}
} // namespace

bool isOurModule(const ModuleInfo& module) {
    if (module.name != "module-null-sink") return false;
    const std::string key = "sink_name=" + kSinkName;
    for (auto at = module.argument.find(key); at != std::string::npos; at = module.argument.find(key, at + 1)) {
        const bool startsWord = at == 0 || module.argument[at - 1] == ' ';
        const auto end = at + key.size();
        const bool endsWord = end == module.argument.size() || module.argument[end] == ' ';
        if (startsWord && endsWord) return true;
    }
    return false;
}

std::optional<std::vector<SinkInfo>> listSinks(PulseConnection& c) {
    return list<SinkInfo, pa_sink_info>(
        c, pa_context_get_sink_info_list, +[](const pa_sink_info& i) {
            return SinkInfo{i.index, i.name ? i.name : "", i.mute != 0};
        });
}
std::optional<std::vector<InputInfo>> listInputs(PulseConnection& c) {
    return list<InputInfo, pa_sink_input_info>(
        c, pa_context_get_sink_input_info_list, +[](const pa_sink_input_info& i) {
            return InputInfo{i.index, i.sink};
        });
}
std::optional<std::vector<ModuleInfo>> listModules(PulseConnection& c) {
    return list<ModuleInfo, pa_module_info>(
        c, pa_context_get_module_info_list, +[](const pa_module_info& i) {
            return ModuleInfo{i.index, i.name ? i.name : "", i.argument ? i.argument : ""};
        });
}

std::optional<std::string> defaultSinkName(PulseConnection& c) {
    struct Result {
        PulseConnection* connection;
        std::optional<std::string> name;
    } result{&c, {}};
    auto* op = pa_context_get_server_info(
        c.context(),
        [](pa_context*, const pa_server_info* info, void* user) {
            auto* r = static_cast<Result*>(user);
            if (info && info->default_sink_name) r->name = info->default_sink_name;
            r->connection->signal();
        },
        &result);
    if (!c.waitFor(op)) return std::nullopt;
    return result.name;
}

std::optional<std::uint32_t> loadSinkModule(PulseConnection& c) {
    struct Result {
        PulseConnection* connection;
        std::uint32_t index = PA_INVALID_INDEX;
    } result{&c};
    const auto arguments =
        fmt::format("sink_name={0} rate=48000 channels=2 sink_properties=device.description={0}", kSinkName);
    auto* op = pa_context_load_module(
        c.context(), "module-null-sink", arguments.c_str(),
        [](pa_context*, std::uint32_t index, void* user) {
            auto* r = static_cast<Result*>(user);
            r->index = index;
            r->connection->signal();
        },
        &result);
    if (!c.waitFor(op) || result.index == PA_INVALID_INDEX) return std::nullopt;
    return result.index;
}

void forget(pa_operation* op) {
    if (op) pa_operation_unref(op);
}

void cleanStreamRestore(pa_context* context) {
    struct Pending {
        std::vector<std::string> names;
    };
    forget(pa_ext_stream_restore_read(
        context,
        [](pa_context* ctx, const pa_ext_stream_restore_info* info, int eol, void* user) {
            auto* pending = static_cast<Pending*>(user);
            if (eol == 0 && info) {
                if (info->device && kSinkName == info->device && info->name) pending->names.emplace_back(info->name);
                return;
            }
            if (eol > 0 && !pending->names.empty()) {
                std::vector<const char*> names;
                for (const auto& name : pending->names)
                    names.push_back(name.c_str());
                names.push_back(nullptr);
                forget(pa_ext_stream_restore_delete(ctx, names.data(), nullptr, nullptr));
            }
            delete pending;
        },
        new Pending));
}

} // namespace kiv::pulse_devices
