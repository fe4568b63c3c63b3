#pragma once
// Where the window's own files, the catalogue "message.txt" and the button
// pictures under "img/", are looked for: the current directory first, as the
// utility always read them, then beside the program (a build tree, or a copy
// run from its own folder), then the shared data folder of an installed tree,
// "../share/aputil" from the program in bin. An installed program started from
// any other directory so still finds its texts and pictures.

#include <string>
#include <vector>

namespace aputil {

// Relative to the folder of the installed program.
inline constexpr const char* kInstalledDataFolder = "../share/aputil";

// The folders to search, in order, each once (compared after removing "." and
// ".." steps); an empty argument adds no folder.
std::vector<std::string> DataFolders(const std::string& currentDir, const std::string& programDir);

// The path of the first regular file `relativeName` in `folders`, or an empty
// string. A directory or other non-file of that name is passed over.
std::string FindDataFile(const std::vector<std::string>& folders, const std::string& relativeName);

}  // namespace aputil
