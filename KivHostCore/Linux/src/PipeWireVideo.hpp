#pragma once
// Pictures of a PipeWire video node, as GNOME's compositor offers a screen-cast stream: one
// connection to the PipeWire daemon with a loop thread of its own, and per node a stream that
// asks for a size and a rate (which is what sizes a virtual monitor) in BGRx or BGRA in shared
// memory. Each picture that arrives is compared with the one kept, row by row, and only the rows
// that differ are copied: what changed since the last take is known exactly, whatever the
// compositor says about damage.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KivHostCore/Linux/DamageRecency.hpp"
#include "KivHostCore/Linux/RowBands.hpp"

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace kiv {

class PipeWireStream;

class PipeWireVideo : public std::enable_shared_from_this<PipeWireVideo> {
public:
    // `remote`: the daemon's socket path ("" = the environment's).
    static std::expected<std::shared_ptr<PipeWireVideo>, std::string> connect(const std::string& remote);
    ~PipeWireVideo();
    PipeWireVideo(const PipeWireVideo&) = delete;
    PipeWireVideo& operator=(const PipeWireVideo&) = delete;

    struct Events {
        // A new picture (on the loop thread); `fresh`: it changed away from all that changed
        // in the pictures just before (see DamageRecency).
        std::function<void(bool fresh)> picture;
        std::function<void(const std::string&)> ended; // the stream failed or the node went away
    };
    // Connects to `node`, offering `width`×`height` at up to `rate` pictures a second.
    std::unique_ptr<PipeWireStream> open(std::uint32_t node, int width, int height, double rate, Events events);
    // Whether the daemon connection failed since.
    bool broken() const;

    struct Loop; // shared with the streams

private:
    PipeWireVideo() = default;
    std::shared_ptr<Loop> loop_;
};

class PipeWireStream {
public:
    ~PipeWireStream();
    // The newest picture (XRGB in memory order B, G, R, X), and what changed since the last take
    // (`whole`: all of it). False before the first picture.
    using Reader = std::function<void(const std::uint8_t* pixels, int stride, int width, int height,
                                      const RowBands& changed, bool whole)>;
    bool take(const Reader& read);
    // The size the compositor agreed to (0×0 before it did).
    std::pair<int, int> size() const;
    std::uint64_t pictures() const;

    struct Impl;
    explicit PipeWireStream(std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
