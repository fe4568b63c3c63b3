// The backup file parser on arbitrary bytes: no overread, and a file it
// accepts is exactly the file its fields encode again (nothing in an accepted
// file goes unchecked or is read twice).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "app/backup.h"
#include "app/settings.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace aputil;
    const std::span<const uint8_t> bytes(data, size);
    Backup backup;
    backup.firmwareDate = "untouched";
    const BackupError error = DecodeBackup(bytes, backup);
    if (error != BackupError::None) {
        FUZZ_REQUIRE(backup.firmwareDate == "untouched");
        return 0;
    }
    FUZZ_REQUIRE(backup.crcValid == StoredChecksumValid(backup.image));
    const std::vector<uint8_t> again = EncodeBackup(backup);
    FUZZ_REQUIRE(again.size() == size && std::equal(again.begin(), again.end(), data));
    return 0;
}
