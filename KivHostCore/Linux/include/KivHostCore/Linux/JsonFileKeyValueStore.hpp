#pragma once
// The user-defaults store on Linux: one JSON document per application under
// $XDG_CONFIG_HOME/kivdisplay/ (~/.config/kivdisplay/ when unset).
// Every write lands atomically (temp file, fsync, rename) under an advisory lock, re-reading the
// file first, so two processes never corrupt it or lose each other's keys. A file that does not
// parse is moved aside to "<name>.corrupt-<time>" with a warning and the store starts empty.
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

#include "KivHostCore/Platform/KeyValueStore.hpp"

namespace kiv {

class JsonFileKeyValueStore : public KeyValueStore {
public:
    explicit JsonFileKeyValueStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/kivdisplay/<application>.json
    static std::filesystem::path defaultPath(std::string_view application);

    std::optional<StoredValue> value(const std::string& key) const override;
    bool setValue(const std::string& key, StoredValue value) override;
    bool remove(const std::string& key) override;
    std::optional<std::string> takeProblem() override;

    const std::filesystem::path& file() const { return file_; }
    // A whole settings document: a JSON object of stored values, nested at most 64 deep.
    static std::optional<StoredDictionary> parse(std::string_view text);

protected:
    // Moves the finished temp file over the target; rename(2). Tests override it to fail.
    virtual bool replaceFile(const std::filesystem::path& temp, const std::filesystem::path& target);

private:
    struct FileStamp {
        ino_t inode = 0;
        off_t size = -1;
        long long mtimeNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    class FileLock;

    bool mutate(const std::function<void(StoredDictionary&)>& change);
    std::optional<FileStamp> currentStamp() const;
    void reloadLocked() const;

    std::filesystem::path file_;
    std::filesystem::path lockFile_;
    mutable std::mutex mutex_;
    mutable StoredDictionary values_;
    mutable std::optional<FileStamp> loaded_;
    mutable std::optional<std::string> problem_;
};

} // namespace kiv
