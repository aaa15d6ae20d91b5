#include "ReceiverWindow.hpp"

#include <fontconfig/fontconfig.h>

#include <SDL.h>
#include <SDL_ttf.h>
#include <cmath>
#include <map>

#include "KivProtocol/HostClock.hpp"
#include "LongPress.hpp"

namespace kiv::receiver {

struct ReceiverWindow::Impl {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int pictureWidth = 0;
    int pictureHeight = 0;
    bool pressed = false;
    std::uint32_t seq = 0;
    LongPress touch;
    bool touchPressed = false;
    TTF_Font* font = nullptr;
    bool overlayOn = false;
    std::vector<std::string> overlay;
    std::string notice;
    std::map<std::string, SDL_Texture*> lineCache; // rendered lines, kept while they are shown

    ~Impl() {
        clearLines();
        if (font) TTF_CloseFont(font);
        if (TTF_WasInit()) TTF_Quit();
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
    void clearLines() {
        for (auto& [text, lineTexture] : lineCache)
            SDL_DestroyTexture(lineTexture);
        lineCache.clear();
    }
    SDL_Texture* line(const std::string& text) {
        if (const auto found = lineCache.find(text); found != lineCache.end()) return found->second;
        if (lineCache.size() > 64) clearLines(); // the figures change every second
        SDL_Surface* surface = TTF_RenderUTF8_Blended(font, text.c_str(), SDL_Color{255, 255, 255, 255});
        if (!surface) return nullptr;
        SDL_Texture* lineTexture = SDL_CreateTextureFromSurface(renderer, surface);
        SDL_FreeSurface(surface);
        if (lineTexture) lineCache.emplace(text, lineTexture);
        return lineTexture;
    }
    // Lines in a dark box at the window's top left (y grows downwards).
    void drawLines(const std::vector<std::string>& lines, int y) {
        if (!font || lines.empty()) return;
        std::vector<std::pair<SDL_Texture*, SDL_Rect>> drawn;
        int width = 0;
        int top = y + 6;
        for (const auto& text : lines) {
            SDL_Texture* lineTexture = line(text);
            if (!lineTexture) continue;
            SDL_Rect rect{12, top, 0, 0};
            SDL_QueryTexture(lineTexture, nullptr, nullptr, &rect.w, &rect.h);
            drawn.emplace_back(lineTexture, rect);
            width = std::max(width, rect.w);
            top += rect.h;
        }
        const SDL_Rect box{6, y, width + 12, top - y + 6};
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 180);
        SDL_RenderFillRect(renderer, &box);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        for (const auto& [lineTexture, rect] : drawn)
            SDL_RenderCopy(renderer, lineTexture, nullptr, &rect);
    }
};

namespace {

// A monospaced font through fontconfig (any font it offers rather than none).
std::string findFont() {
    if (!FcInit()) return {};
    std::string path;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("monospace"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result{};
    if (FcPattern* match = FcFontMatch(nullptr, pattern, &result)) {
        FcChar8* file = nullptr;
        if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file)
            path = reinterpret_cast<const char*>(file);
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return path;
}

} // namespace

std::expected<std::unique_ptr<ReceiverWindow>, std::string> ReceiverWindow::open(const Options& options) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return std::unexpected(std::string("no window: ") + SDL_GetError());
    std::unique_ptr<ReceiverWindow> self(new ReceiverWindow());
    self->impl_ = std::make_unique<Impl>();
    auto& impl = *self->impl_;
    const auto display =
        static_cast<unsigned>(std::clamp(options.monitor, 0, std::max(SDL_GetNumVideoDisplays() - 1, 0)));
    Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
    if (options.fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
    impl.window = SDL_CreateWindow(options.title.c_str(), static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(display)),
                                   static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(display)), options.width,
                                   options.height, flags);
    if (!impl.window) return std::unexpected(std::string("no window: ") + SDL_GetError());
    impl.renderer = SDL_CreateRenderer(impl.window, -1, SDL_RENDERER_ACCELERATED);
    if (!impl.renderer) impl.renderer = SDL_CreateRenderer(impl.window, -1, SDL_RENDERER_SOFTWARE);
    if (!impl.renderer) return std::unexpected(std::string("no renderer: ") + SDL_GetError());
    SDL_SetRenderDrawColor(impl.renderer, 0, 0, 0, 255);
    SDL_RenderClear(impl.renderer);
    SDL_RenderPresent(impl.renderer);
    // Text is a nicety: without a font the window still shows the picture.
    if (const auto font = findFont(); !font.empty() && TTF_Init() == 0) {
        int w = 0;
        int pixels = 0;
        SDL_GetWindowSize(impl.window, &w, nullptr);
        SDL_GetRendererOutputSize(impl.renderer, &pixels, nullptr);
        impl.font = TTF_OpenFont(font.c_str(), 14 * std::max(1, w > 0 ? pixels / w : 1));
    }
    return self;
}

ReceiverWindow::~ReceiverWindow() = default;

ReceiverWindow::Monitor ReceiverWindow::monitor() const {
    SDL_DisplayMode mode{};
    const int index = SDL_GetWindowDisplayIndex(impl_->window);
    if (index < 0 || SDL_GetCurrentDisplayMode(index, &mode) != 0) return {};
    return {mode.w, mode.h, mode.refresh_rate};
}

void ReceiverWindow::setTitle(const std::string& title) {
    SDL_SetWindowTitle(impl_->window, title.c_str());
}

void ReceiverWindow::setOverlay(std::vector<std::string> lines) {
    if (lines == impl_->overlay) return;
    impl_->overlay = std::move(lines);
    if (impl_->overlayOn) present();
}

void ReceiverWindow::setNotice(std::string notice) {
    if (notice == impl_->notice) return;
    impl_->notice = std::move(notice);
    present();
}

bool ReceiverWindow::overlayShown() const {
    return impl_->overlayOn;
}

void ReceiverWindow::show(const DecodedPicture& picture) {
    auto& impl = *impl_;
    if (!picture.chromaU || picture.width <= 0 || picture.height <= 0) return;
    if (!impl.texture || picture.width != impl.pictureWidth || picture.height != impl.pictureHeight) {
        if (impl.texture) SDL_DestroyTexture(impl.texture);
        impl.texture = SDL_CreateTexture(impl.renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                         picture.width, picture.height);
        if (!impl.texture) return;
        impl.pictureWidth = picture.width;
        impl.pictureHeight = picture.height;
    }
    SDL_UpdateYUVTexture(impl.texture, nullptr, picture.luma, picture.lumaStride, picture.chromaU, picture.chromaStride,
                         picture.chromaV, picture.chromaStride);
    present();
}

void ReceiverWindow::present() {
    auto& impl = *impl_;
    SDL_RenderClear(impl.renderer);
    if (impl.texture) {
        int w = 0;
        int h = 0;
        SDL_GetRendererOutputSize(impl.renderer, &w, &h);
        const TouchCoordinateMapper pixels{
            {static_cast<double>(w), static_cast<double>(h)},
            {static_cast<double>(impl.pictureWidth), static_cast<double>(impl.pictureHeight)},
            TouchCoordinateMapper::Gravity::aspectFit};
        const auto r = pixels.contentRect();
        const SDL_Rect target{static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)),
                              static_cast<int>(std::lround(r.width)), static_cast<int>(std::lround(r.height))};
        SDL_RenderCopy(impl.renderer, impl.texture, nullptr, &target);
    }
    int top = 6;
    if (!impl.notice.empty()) {
        impl.drawLines({impl.notice}, top);
        top += TTF_FontLineSkip(impl.font) + 18;
    }
    if (impl.overlayOn) impl.drawLines(impl.overlay, top);
    SDL_RenderPresent(impl.renderer);
}

void ReceiverWindow::pointer(InputEvent::Kind kind, double x, double y, double dx, double dy) {
    if (!onInput || impl_->pictureWidth == 0) return;
    // Nothing is sent for a pointer outside the picture, except letting go of a press.
    const auto point =
        impl_->mapper().normalize({x, y}, kind == InputEvent::Kind::up || kind == InputEvent::Kind::drag);
    if (!point) return;
    onInput(InputEvent{kind, point->x, point->y, dx, dy, ++impl_->seq, HostClock::nowMicros()});
}

bool ReceiverWindow::pump() {
    const auto act = [this](const LongPress::Action& action) { pointer(action.kind, action.x, action.y); };
    if (const auto click = impl_->touch.poll(LongPress::Clock::now())) act(*click);
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        const bool byTouch =
            (event.type == SDL_MOUSEBUTTONDOWN || event.type == SDL_MOUSEBUTTONUP || event.type == SDL_MOUSEMOTION) &&
            event.button.which == SDL_TOUCH_MOUSEID;
        if (byTouch) {
            // Fingers arrive as a left button; they go through the long-press rule instead.
            if (event.type == SDL_MOUSEBUTTONDOWN)
                impl_->touch.press(event.button.x, event.button.y, LongPress::Clock::now());
            else if (event.type == SDL_MOUSEBUTTONUP)
                for (const auto& a : impl_->touch.release(event.button.x, event.button.y))
                    act(a);
            else
                for (const auto& a : impl_->touch.move(event.motion.x, event.motion.y))
                    act(a);
            continue;
        }
        switch (event.type) {
        case SDL_QUIT: return false;
        case SDL_KEYDOWN:
            if (event.key.repeat) break;
            if (event.key.keysym.sym == SDLK_F1 || event.key.keysym.sym == SDLK_TAB) {
                impl_->overlayOn = !impl_->overlayOn;
                present();
            } else if (onKey) {
                onKey(SDL_GetKeyName(event.key.keysym.sym));
            }
            break;
        case SDL_WINDOWEVENT:
            if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || event.window.event == SDL_WINDOWEVENT_EXPOSED)
                present();
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
