// The agent's settings: $KWA_HOME/agent.conf, "key = value" per line, '#' starts a
// comment line. Read at first use and again when the home changes or someone else
// rewrote the file; Set writes the file through, replacing it atomically, and keeps
// comments, blank lines and lines it does not understand as they were.
#include "Internal.h"

#include <KwaCore.h>

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace KwaCore {
namespace {

const char* const kProgramDirKey = "app.path.bin";

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// What identifies one version of the file, to notice changes made by others.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};

    static FileIdentity Of(const std::string& path) {
        FileIdentity identity;
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            identity.exists = true;
            identity.device = st.st_dev;
            identity.inode = st.st_ino;
            identity.size = st.st_size;
            identity.modified = st.st_mtim;
        }
        return identity;
    }
    bool operator==(const FileIdentity& other) const {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

class SettingsFile {
public:
    std::string Get(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        Refresh();
        const auto found = values_.find(key);
        return found == values_.end() ? std::string() : found->second;
    }

    bool Set(const std::string& key, const std::string& value) {
        std::lock_guard<std::mutex> lock(mutex_);
        Refresh();
        values_[key] = value;
        const std::string line = key + " = " + value;
        bool present = false;
        for (auto& entry : lines_) {
            if (entry.key == key) {
                entry.text = line;
                present = true;
            }
        }
        if (!present)
            lines_.push_back(Line{line, key});
        return Write();
    }

private:
    struct Line {
        std::string text;
        std::string key; // empty for comments, blank and unknown lines
    };

    // Loads the file when the home changed or the file is not the one last seen.
    void Refresh() {
        const std::string path = Internal::HomePath() + "/agent.conf";
        const FileIdentity identity = FileIdentity::Of(path);
        if (loaded_ && path == path_ && identity == identity_)
            return;
        // A file that never existed keeps what Set stored in memory when it could
        // not be written; a new home or a changed file is read afresh.
        if (loaded_ && path == path_ && !identity.exists && !identity_.exists)
            return;
        Load(path);
        identity_ = identity;
    }

    void Load(const std::string& path) {
        loaded_ = true;
        path_ = path;
        lines_.clear();
        values_.clear();
        std::string content;
        if (!Internal::ReadWholeFile(path, content))
            return;
        size_t start = 0;
        while (start < content.size()) {
            auto end = content.find('\n', start);
            if (end == std::string::npos)
                end = content.size();
            std::string text = content.substr(start, end - start);
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            start = end + 1;
            Line line{text, std::string()};
            const std::string trimmed = Trim(text);
            const auto equals = trimmed.find('=');
            if (!trimmed.empty() && trimmed[0] != '#' && equals != std::string::npos) {
                line.key = Trim(trimmed.substr(0, equals));
                if (!line.key.empty())
                    values_[line.key] = Trim(trimmed.substr(equals + 1)); // the last one wins
            }
            lines_.push_back(line);
        }
    }

    bool Write() {
        if (!Internal::EnsureHome())
            return false;
        std::string content;
        for (const auto& line : lines_)
            content += line.text + "\n";
        if (Internal::WriteFileAtomically(path_, content, 0600) != 0)
            return false;
        identity_ = FileIdentity::Of(path_);
        return true;
    }

    std::mutex mutex_;
    bool loaded_ = false;
    std::string path_;
    FileIdentity identity_;
    std::vector<Line> lines_;
    std::map<std::string, std::string> values_;
};

SettingsFile& Settings() {
    // Never destroyed: threads may still read settings while the process exits.
    static SettingsFile* settings = new SettingsFile;
    return *settings;
}

bool ValidKey(const std::string& key) {
    return !key.empty() && key[0] != '#' && key.find_first_of("=\r\n") == std::string::npos;
}

} // namespace

CDom* CDom::This() {
    static CDom dom;
    return &dom;
}

std::string CDom::GetString(const char* key) {
    const Internal::ErrnoKeeper keepErrno;
    if (key == nullptr)
        return std::string();
    const std::string name = Trim(key);
    std::string value = Settings().Get(name);
    if (value.empty() && name == kProgramDirKey)
        value = Internal::LibraryDirectory();
    return value;
}

wxString CDom::GetWxString(const char* key) {
    const std::string value = GetString(key);
    // Paths among the values are used with wx's file functions: decode them as
    // those encode (the process's encoding), falling back to lenient UTF-8.
    return Internal::FromFs(value);
}

bool CDom::Set(const char* key, const char* value) {
    if (key == nullptr)
        return false;
    const std::string name = Trim(key);
    const std::string text = Trim(value != nullptr ? value : "");
    // A line break would split the line and change the meaning of the file.
    if (!ValidKey(name) || text.find_first_of("\r\n") != std::string::npos)
        return false;
    return Settings().Set(name, text);
}

} // namespace KwaCore
