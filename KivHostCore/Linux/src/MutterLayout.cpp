// The compositor's monitor layout, from its display configuration service.
#include "MutterLayout.hpp"

namespace kiv {

namespace {

// Releases the GVariants taken while reading one reply.
struct Children {
    std::vector<GVariant*> held;
    ~Children() {
        for (auto* v : held)
            g_variant_unref(v);
    }
    GVariant* child(GVariant* parent, gsize i) { return held.emplace_back(g_variant_get_child_value(parent, i)); }
};

} // namespace

std::vector<MutterScreen> parseMutterLayout(GVariant* state) {
    std::vector<MutterScreen> screens;
    if (state == nullptr ||
        !g_variant_is_of_type(state, G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})")))
        return screens;
    Children c;
    GVariant* monitors = c.child(state, 1);
    GVariant* logical = c.child(state, 2);
    GVariant* properties = c.child(state, 3);
    std::uint32_t layoutMode = 1; // logical: a monitor's size in the layout is its mode divided by its scale
    g_variant_lookup(properties, "layout-mode", "u", &layoutMode);

    // Each connector's current mode.
    struct Mode {
        std::string connector;
        int width = 0, height = 0;
        double refresh = 0;
    };
    std::vector<Mode> current;
    for (gsize i = 0; i < g_variant_n_children(monitors); ++i) {
        GVariant* monitor = c.child(monitors, i);
        GVariant* spec = c.child(monitor, 0);
        GVariant* modes = c.child(monitor, 1);
        const gchar* connector = nullptr;
        g_variant_get_child(spec, 0, "&s", &connector);
        for (gsize m = 0; m < g_variant_n_children(modes); ++m) {
            GVariant* mode = c.child(modes, m);
            gint32 width = 0, height = 0;
            double refresh = 0;
            g_variant_get_child(mode, 1, "i", &width);
            g_variant_get_child(mode, 2, "i", &height);
            g_variant_get_child(mode, 3, "d", &refresh);
            GVariant* modeProperties = c.child(mode, 6);
            gboolean isCurrent = FALSE;
            g_variant_lookup(modeProperties, "is-current", "b", &isCurrent);
            if (isCurrent && connector != nullptr) current.push_back({connector, width, height, refresh});
        }
    }
    for (gsize i = 0; i < g_variant_n_children(logical); ++i) {
        GVariant* entry = c.child(logical, i);
        gint32 x = 0, y = 0;
        double scale = 1;
        gboolean primary = FALSE;
        g_variant_get_child(entry, 0, "i", &x);
        g_variant_get_child(entry, 1, "i", &y);
        g_variant_get_child(entry, 2, "d", &scale);
        g_variant_get_child(entry, 4, "b", &primary);
        GVariant* parts = c.child(entry, 5);
        for (gsize p = 0; p < g_variant_n_children(parts); ++p) {
            const gchar* connector = nullptr;
            GVariant* part = c.child(parts, p);
            g_variant_get_child(part, 0, "&s", &connector);
            for (const auto& mode : current) {
                if (connector == nullptr || mode.connector != connector) continue;
                const double divide = layoutMode == 1 && scale > 0 ? scale : 1;
                screens.push_back(
                    {mode.connector,
                     ScreenRect{x, y, static_cast<int>(mode.width / divide), static_cast<int>(mode.height / divide)},
                     primary != FALSE, mode.refresh, scale > 0 ? scale : 1, mode.width, mode.height});
            }
        }
    }
    return screens;
}

std::vector<MutterScreen> readMutterLayout(const MutterBus& bus) {
    const auto state =
        bus.call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig", "org.gnome.Mutter.DisplayConfig",
                 "GetCurrentState", nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})");
    return state ? parseMutterLayout(state->get()) : std::vector<MutterScreen>{};
}

} // namespace kiv
