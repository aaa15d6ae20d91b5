#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fmt/format.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "KivBase/KivLog.hpp"

namespace kiv {

using Json = nlohmann::json;

namespace {

const KivLogger& logger() {
    static const KivLogger log = KivLog::logger("Settings");
    return log;
}

// A writer killed between writing its copy ("<file>.tmp-<pid>") and putting it in place leaves
// the copy behind; nobody else would ever take it away.
void removeCopiesOfDeadWriters(const std::filesystem::path& file) {
    const auto prefix = file.filename().string() + ".tmp-";
    std::error_code error;
    for (std::filesystem::directory_iterator it(file.parent_path(), error), end; !error && it != end;
         it.increment(error)) {
        const auto name = it->path().filename().string();
        if (!name.starts_with(prefix)) continue;
        const std::string_view digits = std::string_view(name).substr(prefix.size());
        pid_t pid = 0;
        const auto [stop, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (failed != std::errc() || stop != digits.data() + digits.size() || pid <= 0) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue; // its writer may still be at it
        std::error_code ignored;
        std::filesystem::remove(it->path(), ignored);
    }
}

// Data is written as {"$base64": "..."} so it cannot be mistaken for text.
constexpr const char* kDataTag = "$base64";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const Bytes& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < data.size(); i += 3) {
        const std::uint32_t chunk = std::uint32_t{data[i]} << 16 |
                                    (i + 1 < data.size() ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                    (i + 2 < data.size() ? data[i + 2] : 0u);
        out += kAlphabet[chunk >> 18 & 63];
        out += kAlphabet[chunk >> 12 & 63];
        out += i + 1 < data.size() ? kAlphabet[chunk >> 6 & 63] : '=';
        out += i + 2 < data.size() ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    Bytes out;
    std::uint32_t chunk = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '=') break;
        const char* at = std::strchr(kAlphabet, c);
        if (at == nullptr || c == '\0') return std::nullopt;
        chunk = chunk << 6 | static_cast<std::uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(chunk >> bits & 0xFF));
        }
    }
    return out;
}

Json toJson(const StoredValue& value) {
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Bytes>) {
                return Json{{kDataTag, base64Encode(v)}};
            } else if constexpr (std::is_same_v<T, StoredArray>) {
                Json array = Json::array();
                for (const auto& element : v)
                    array.push_back(toJson(element));
                return array;
            } else if constexpr (std::is_same_v<T, StoredDictionary>) {
                Json object = Json::object();
                for (const auto& [key, element] : v)
                    object[key] = toJson(element);
                return object;
            } else {
                return Json(v);
            }
        },
        value.value);
}

// Deeper than any file we write; a deeper one is refused rather than recursed into.
constexpr int kMaxDepth = 64;

std::optional<StoredValue> fromJson(const Json& j, int depth = 0) {
    if (depth > kMaxDepth) return std::nullopt;
    if (j.is_boolean()) return StoredValue{j.get<bool>()};
    if (j.is_number_integer()) {
        if (j.is_number_unsigned() && j.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
            return StoredValue{static_cast<double>(j.get<std::uint64_t>())};
        }
        return StoredValue{j.get<std::int64_t>()};
    }
    if (j.is_number_float()) return StoredValue{j.get<double>()};
    if (j.is_string()) return StoredValue{j.get<std::string>()};
    if (j.is_array()) {
        StoredArray array;
        for (const auto& element : j) {
            auto value = fromJson(element, depth + 1);
            if (!value) return std::nullopt;
            array.push_back(std::move(*value));
        }
        return StoredValue{std::move(array)};
    }
    if (j.is_object()) {
        if (j.size() == 1 && j.contains(kDataTag) && j[kDataTag].is_string()) {
            auto data = base64Decode(j[kDataTag].get<std::string>());
            if (!data) return std::nullopt;
            return StoredValue{std::move(*data)};
        }
        StoredDictionary dictionary;
        for (const auto& [key, element] : j.items()) {
            auto value = fromJson(element, depth + 1);
            if (!value) return std::nullopt;
            dictionary.emplace(key, std::move(*value));
        }
        return StoredValue{std::move(dictionary)};
    }
    return std::nullopt; // null
}

bool writeAll(int fd, std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

// flock(2) on "<file>.lock": kept apart from the data file, which rename replaces.
class JsonFileKeyValueStore::FileLock {
public:
    explicit FileLock(const std::filesystem::path& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_); // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

JsonFileKeyValueStore::JsonFileKeyValueStore(std::filesystem::path file)
    : file_(std::move(file)), lockFile_(file_.string() + ".lock") {
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    removeCopiesOfDeadWriters(file_);
}

std::filesystem::path JsonFileKeyValueStore::defaultPath(std::string_view application) {
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        base = std::filesystem::temp_directory_path();
    }
    return base / "kivdisplay" / (std::string(application) + ".json");
}

std::optional<JsonFileKeyValueStore::FileStamp> JsonFileKeyValueStore::currentStamp() const {
    struct stat info {};
    if (::stat(file_.c_str(), &info) != 0) return std::nullopt;
    return FileStamp{info.st_ino, info.st_size,
                     static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec};
}

std::optional<StoredDictionary> JsonFileKeyValueStore::parse(std::string_view text) {
    // The parser's own depth limit is the stack: count the brackets first.
    int depth = 0, deepest = 0;
    bool quoted = false, escaped = false;
    for (const char c : text) {
        if (quoted) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    if (deepest > kMaxDepth + 1) return std::nullopt;
    const Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    auto values = fromJson(parsed);
    if (!values || !values->dictionary()) return std::nullopt;
    return std::move(*values->dictionary());
}

void JsonFileKeyValueStore::reloadLocked() const {
    const auto stamp = currentStamp();
    if (!stamp) {
        values_.clear();
        loaded_ = FileStamp{};
        return;
    }
    if (loaded_ == *stamp) return;

    std::ifstream in(file_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto values = parse(text.str());
    if (!values) {
        // Never overwrite what we cannot read: keep it for the user and start empty.
        const auto aside = std::filesystem::path(fmt::format("{}.corrupt-{}", file_.string(), std::time(nullptr)));
        std::error_code error;
        std::filesystem::rename(file_, aside, error);
        problem_ = fmt::format("Settings file {} could not be read; moved it to {} and started empty", file_.string(),
                               aside.string());
        logger().warning(*problem_);
        values_.clear();
        loaded_ = FileStamp{};
        return;
    }
    values_ = std::move(*values);
    loaded_ = *stamp;
}

std::optional<std::string> JsonFileKeyValueStore::takeProblem() {
    const std::lock_guard lock(mutex_);
    return std::exchange(problem_, std::nullopt);
}

std::optional<StoredValue> JsonFileKeyValueStore::value(const std::string& key) const {
    const std::lock_guard lock(mutex_);
    {
        const FileLock fileLock(lockFile_);
        reloadLocked();
    }
    const auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool JsonFileKeyValueStore::setValue(const std::string& key, StoredValue value) {
    return mutate([&](StoredDictionary& values) { values[key] = std::move(value); });
}

bool JsonFileKeyValueStore::remove(const std::string& key) {
    return mutate([&](StoredDictionary& values) { values.erase(key); });
}

bool JsonFileKeyValueStore::mutate(const std::function<void(StoredDictionary&)>& change) {
    const std::lock_guard lock(mutex_);
    const FileLock fileLock(lockFile_);
    reloadLocked(); // another process may have written since we last looked
    StoredDictionary next = values_;
    change(next);

    const std::string text = toJson(StoredValue{next}).dump(2) + "\n";
    const auto temp = std::filesystem::path(fmt::format("{}.tmp-{}", file_.string(), ::getpid()));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || !replaceFile(temp, file_)) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        logger().warning(fmt::format("Could not save settings to {}", file_.string()));
        return false;
    }
    // Make the rename itself durable.
    if (const int dir = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    values_ = std::move(next);
    loaded_ = currentStamp();
    return true;
}

bool JsonFileKeyValueStore::replaceFile(const std::filesystem::path& temp, const std::filesystem::path& target) {
    return ::rename(temp.c_str(), target.c_str()) == 0;
}

} // namespace kiv
