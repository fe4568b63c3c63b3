// Where the window finds "message.txt" and "img/": the current directory, then
// beside the program, then the installed shared data folder.

#include "app/data_folders.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/catalogue.h"

namespace aputil {
namespace {

namespace fs = std::filesystem;
using Folders = std::vector<std::string>;

TEST(DataFolders, OrderAndRepeats) {
    struct Case {
        const char* name;
        std::string currentDir;
        std::string programDir;
        Folders expected;
    };
    const Case cases[] = {
        {"installed program run elsewhere", "/home/u", "/usr/bin", {"/home/u", "/usr/bin", "/usr/share/aputil"}},
        {"run from its own folder", "/usr/bin/", "/usr/bin", {"/usr/bin", "/usr/share/aputil"}},
        {"run from the data folder", "/usr/share/aputil", "/usr/bin", {"/usr/share/aputil", "/usr/bin"}},
        {"dot steps", "/home/u/./x/..", "/opt/ap/bin/.", {"/home/u", "/opt/ap/bin", "/opt/ap/share/aputil"}},
        {"no program folder known", "/home/u", "", {"/home/u"}},
        {"no current folder", "", "/usr/bin", {"/usr/bin", "/usr/share/aputil"}},
        {"relative program folder", "/w", "bin", {"/w", "bin", "share/aputil"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DataFolders(c.currentDir, c.programDir), c.expected) << c.name;
    }
}

// An installed tree and a working directory in a fresh temporary folder.
class InstalledTree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "aputil-folders-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        fs::create_directories(Work());
        fs::create_directories(Bin());
        fs::create_directories(Share());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path Work() const { return root_ / "work"; }
    fs::path Bin() const { return root_ / "prefix/bin"; }
    fs::path Share() const { return root_ / "prefix/share/aputil"; }
    Folders Search() const { return DataFolders(Work().string(), Bin().string()); }

    static void WriteCatalogue(const fs::path& folder, const std::string& caption) {
        std::ofstream(folder / kMessageFileName, std::ios::binary) << "UTILITY_NAME " << caption << "**\n";
    }

    fs::path root_;
};

TEST_F(InstalledTree, CatalogueComesFromTheFirstFolderHoldingOne) {
    enum Holds { kNone, kFile, kDirectory };
    struct Case {
        const char* name;
        Holds work, bin, share;
        std::optional<std::string> caption;
    };
    const Case cases[] = {
        {"current directory wins", kFile, kFile, kFile, "work"},
        {"beside the program next", kNone, kFile, kFile, "bin"},
        {"installed copy last", kNone, kNone, kFile, "share"},
        {"a folder named message.txt is no catalogue", kDirectory, kNone, kFile, "share"},
        {"none anywhere", kNone, kDirectory, kNone, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const struct {
            fs::path folder;
            Holds holds;
            const char* caption;
        } places[] = {{Work(), c.work, "work"}, {Bin(), c.bin, "bin"}, {Share(), c.share, "share"}};
        for (const auto& place : places) {
            fs::remove_all(place.folder / kMessageFileName);
            if (place.holds == kFile) WriteCatalogue(place.folder, place.caption);
            if (place.holds == kDirectory) fs::create_directory(place.folder / kMessageFileName);
        }
        // A catalogue left from before must not survive a failed search.
        LoadMessageCatalogueText("UTILITY_NAME stale**\n");

        EXPECT_EQ(LoadMessageCatalogueFromFolders(Search()), c.caption.has_value());
        EXPECT_EQ(LookupMessage("UTILITY_NAME"), c.caption);
    }
}

TEST_F(InstalledTree, ArtworkFileFoundInTheInstalledFolder) {
    fs::create_directories(Share() / "img");
    std::ofstream(Share() / "img/info.bmp") << "BM";
    // Only "img/info.bmp" itself counts, not a folder of that name earlier on.
    fs::create_directories(Work() / "img/info.bmp");
    EXPECT_EQ(FindDataFile(Search(), "img/info.bmp"), (Share() / "img/info.bmp").string());
    EXPECT_EQ(FindDataFile(Search(), "img/apply.bmp"), "");

    fs::create_directories(Bin() / "img");
    std::ofstream(Bin() / "img/info.bmp") << "BM";
    EXPECT_EQ(FindDataFile(Search(), "img/info.bmp"), (Bin() / "img/info.bmp").string());
}

}  // namespace
}  // namespace aputil
