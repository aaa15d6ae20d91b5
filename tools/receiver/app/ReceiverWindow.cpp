#include "ReceiverWindow.hpp"

#include <SDL.h>

#include <cmath>

#include "KivProtocol/HostClock.hpp"

namespace kiv::receiver {

struct ReceiverWindow::Impl {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int pictureWidth = 0;
    int pictureHeight = 0;
    bool pressed = false;
    std::uint32_t seq = 0;

    ~Impl() {
        if (texture) SDL_DestroyTexture(texture);
        if (renderer) SDL_DestroyRenderer(renderer);
        if (window) SDL_DestroyWindow(window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }
    // Where the picture is in the window, and the mapping of window points to it.
    // Pointer events come in window points; the renderer may have more pixels (HiDPI).
    TouchCoordinateMapper mapper() const {
        int ww = 0;
        int wh = 0;
        SDL_GetWindowSize(window, &ww, &wh);
        return {{static_cast<double>(ww), static_cast<double>(wh)},
                {static_cast<double>(pictureWidth), static_cast<double>(pictureHeight)},
                TouchCoordinateMapper::Gravity::aspectFit};
    }
};

std::expected<std::unique_ptr<ReceiverWindow>, std::string> ReceiverWindow::open(const Options& options) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return std::unexpected(std::string("no window: ") + SDL_GetError());
    std::unique_ptr<ReceiverWindow> self(new ReceiverWindow());
    self->impl_ = std::make_unique<Impl>();
    auto& impl = *self->impl_;
    const auto display = static_cast<unsigned>(std::clamp(options.monitor, 0, std::max(SDL_GetNumVideoDisplays() - 1, 0)));
    Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
    if (options.fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    impl.window = SDL_CreateWindow(options.title.c_str(), static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(display)),
                                   static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(display)), options.width, options.height,
                                   flags);
    if (!impl.window) return std::unexpected(std::string("no window: ") + SDL_GetError());
    impl.renderer = SDL_CreateRenderer(impl.window, -1, SDL_RENDERER_ACCELERATED);
    if (!impl.renderer) impl.renderer = SDL_CreateRenderer(impl.window, -1, SDL_RENDERER_SOFTWARE);
    if (!impl.renderer) return std::unexpected(std::string("no renderer: ") + SDL_GetError());
    SDL_SetRenderDrawColor(impl.renderer, 0, 0, 0, 255);
    SDL_RenderClear(impl.renderer);
    SDL_RenderPresent(impl.renderer);
    return self;
}

ReceiverWindow::~ReceiverWindow() = default;

ReceiverWindow::Monitor ReceiverWindow::monitor() const {
    SDL_DisplayMode mode{};
    const int index = SDL_GetWindowDisplayIndex(impl_->window);
    if (index < 0 || SDL_GetCurrentDisplayMode(index, &mode) != 0) return {};
    return {mode.w, mode.h, mode.refresh_rate};
}

void ReceiverWindow::setTitle(const std::string& title) { SDL_SetWindowTitle(impl_->window, title.c_str()); }

void ReceiverWindow::show(const DecodedPicture& picture) {
    auto& impl = *impl_;
    if (picture.chromaU.empty() || picture.width <= 0 || picture.height <= 0) return;
    if (!impl.texture || picture.width != impl.pictureWidth || picture.height != impl.pictureHeight) {
        if (impl.texture) SDL_DestroyTexture(impl.texture);
        impl.texture = SDL_CreateTexture(impl.renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING, picture.width,
                                         picture.height);
        if (!impl.texture) return;
        impl.pictureWidth = picture.width;
        impl.pictureHeight = picture.height;
    }
    const int chromaStride = (picture.width + 1) / 2;
    SDL_UpdateYUVTexture(impl.texture, nullptr, picture.luma.data(), picture.width, picture.chromaU.data(), chromaStride,
                         picture.chromaV.data(), chromaStride);
    present();
}

void ReceiverWindow::present() {
    auto& impl = *impl_;
    SDL_RenderClear(impl.renderer);
    if (impl.texture) {
        int w = 0;
        int h = 0;
        SDL_GetRendererOutputSize(impl.renderer, &w, &h);
        const TouchCoordinateMapper pixels{{static_cast<double>(w), static_cast<double>(h)},
                                           {static_cast<double>(impl.pictureWidth), static_cast<double>(impl.pictureHeight)},
                                           TouchCoordinateMapper::Gravity::aspectFit};
        const auto r = pixels.contentRect();
        const SDL_Rect target{static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)),
                              static_cast<int>(std::lround(r.width)), static_cast<int>(std::lround(r.height))};
        SDL_RenderCopy(impl.renderer, impl.texture, nullptr, &target);
    }
    SDL_RenderPresent(impl.renderer);
}

void ReceiverWindow::pointer(InputEvent::Kind kind, double x, double y, double dx, double dy) {
    if (!onInput || impl_->pictureWidth == 0) return;
    // Nothing is sent for a pointer outside the picture, except letting go of a press.
    const auto point = impl_->mapper().normalize({x, y}, kind == InputEvent::Kind::up || kind == InputEvent::Kind::drag);
    if (!point) return;
    onInput(InputEvent{kind, point->x, point->y, dx, dy, ++impl_->seq, HostClock::nowMicros()});
}

bool ReceiverWindow::pump() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        switch (event.type) {
        case SDL_QUIT: return false;
        case SDL_WINDOWEVENT:
            if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || event.window.event == SDL_WINDOWEVENT_EXPOSED) present();
            break;
        case SDL_MOUSEBUTTONDOWN:
            if (event.button.button == SDL_BUTTON_LEFT) {
                impl_->pressed = true;
                pointer(InputEvent::Kind::down, event.button.x, event.button.y);
            } else if (event.button.button == SDL_BUTTON_RIGHT) {
                pointer(InputEvent::Kind::rightClick, event.button.x, event.button.y);
            }
            break;
        case SDL_MOUSEBUTTONUP:
            if (event.button.button == SDL_BUTTON_LEFT && impl_->pressed) {
                impl_->pressed = false;
                pointer(InputEvent::Kind::up, event.button.x, event.button.y);
            }
            break;
        case SDL_MOUSEMOTION:
            pointer(impl_->pressed ? InputEvent::Kind::drag : InputEvent::Kind::move, event.motion.x, event.motion.y);
            break;
        case SDL_MOUSEWHEEL: {
            // One notch moves the content by a twentieth of the picture.
            int x = 0;
            int y = 0;
            SDL_GetMouseState(&x, &y);
            pointer(InputEvent::Kind::scroll, x, y, event.wheel.preciseX * 0.05, event.wheel.preciseY * 0.05);
            break;
        }
        default: break;
        }
    }
    return true;
}

} // namespace kiv::receiver
