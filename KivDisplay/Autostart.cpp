#include "Autostart.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

namespace kiv::app {

AutostartEntry::AutostartEntry(std::filesystem::path folder, std::filesystem::path program)
    : folder_(std::move(folder)), program_(std::move(program)) {}

std::filesystem::path AutostartEntry::defaultFolder() {
    // NOLINTBEGIN(concurrency-mt-unsafe): read on the main thread, nothing sets the environment
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return std::filesystem::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    // NOLINTEND(concurrency-mt-unsafe)
    return std::filesystem::path(home ? home : "/") / ".config" / "autostart";
}

std::filesystem::path AutostartEntry::path() const {
    return folder_ / (std::string(kAppID) + ".desktop");
}

bool AutostartEntry::enabled() const {
    std::ifstream file(path());
    if (!file) return false;
    bool inMainGroup = false;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) continue;
        // Where a desktop's startup settings turn an entry off without removing it.
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

std::expected<void, std::string> AutostartEntry::setEnabled(bool on) {
    const auto target = path();
    std::error_code error;
    if (!on) {
        if (std::filesystem::remove(target, error); error)
            return std::unexpected("cannot remove " + target.string() + ": " + error.message());
        return {};
    }
    std::filesystem::create_directories(folder_, error);
    if (error) return std::unexpected("cannot make the folder " + folder_.string() + ": " + error.message());
    const auto partial = target.string() + ".partial";
    {
        std::ofstream file(partial, std::ios::trunc);
        file << "[Desktop Entry]\n"
                "Type=Application\n"
                "Name=KivDisplay\n"
                "Comment=Use a tablet or phone as an extra display\n"
             << "Exec=" << desktopExecArgument(program_.string()) << "\n"
             << "Icon=" << kAppID << "\n"
             << "Terminal=false\n"
                "X-GNOME-Autostart-enabled=true\n";
        file.close();
        if (!file) {
            std::filesystem::remove(partial, error);
            return std::unexpected("cannot write " + target.string() + " (is the disk full or the folder read-only?)");
        }
    }
    std::filesystem::rename(partial, target, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        return std::unexpected("cannot write " + target.string() + ": " + error.message());
    }
    return {};
}

std::string desktopExecArgument(const std::string& path) {
    // Reserved characters need the argument quoted; inside the quotes ", `, $ and \ take a
    // backslash. The file's own string escapes come first, so each such backslash is written twice
    // (a backslash in the path becomes four). A literal % is %% (field codes).
    const bool quote = path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string out;
    if (quote) out += '"';
    for (const char c : path) {
        if (c == '%')
            out += "%%";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\\\\\";
        else if (quote && (c == '"' || c == '`' || c == '$'))
            out += std::string("\\\\") + c;
        else
            out += c;
    }
    if (quote) out += '"';
    return out;
}

bool holdDesktopInstanceLock(const std::string& display) {
    std::string name = "kivdisplay-";
    for (const char c : display)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once at start, nothing sets the environment
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const auto folder =
        runtime && runtime[0] == '/' ? std::filesystem::path(runtime) : std::filesystem::temp_directory_path();
    const auto path = folder / (name + "-" + std::to_string(::getuid()) + ".lock");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;                              // no lock to be had: better two applications than none
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true; // the descriptor stays open, and the lock with it
    ::close(fd);
    return false;
}

} // namespace kiv::app
