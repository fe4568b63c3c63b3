#include "app/data_folders.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace aputil {
namespace fs = std::filesystem;

std::vector<std::string> DataFolders(const std::string& currentDir, const std::string& programDir) {
    std::vector<std::string> folders;
    const auto add = [&folders](const fs::path& folder) {
        if (folder.empty()) return;
        std::string normal = folder.lexically_normal().string();
        // "a/b/" and "a/b" name the same folder.
        if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
        if (std::find(folders.begin(), folders.end(), normal) == folders.end()) folders.push_back(normal);
    };
    add(currentDir);
    if (!programDir.empty()) {
        add(programDir);
        add(fs::path(programDir) / kInstalledDataFolder);
    }
    return folders;
}

std::string FindDataFile(const std::vector<std::string>& folders, const std::string& relativeName) {
    for (const std::string& folder : folders) {
        const fs::path file = fs::path(folder) / relativeName;
        std::error_code error;
        if (fs::is_regular_file(file, error)) return file.string();
    }
    return {};
}

}  // namespace aputil
