#pragma once
// What a wire test learns from tests/netns/with-netns: the environment it
// sets, and whether this process really runs in the namespace it made, so
// that no test ever sends on the machine's own interfaces.

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace aputil::test {

// An environment variable, or empty.
inline std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// True only inside namespace A that tests/netns/with-netns made (and names in /run/netns).
inline bool InPrivateNamespace() {
    const std::string name = Env("APUTIL_NS_A");
    struct stat own = {};
    struct stat made = {};
    if (name.empty() || stat("/proc/self/ns/net", &own) != 0 || stat(("/run/netns/" + name).c_str(), &made) != 0)
        return false;
    return own.st_ino == made.st_ino && own.st_dev == made.st_dev;
}

}  // namespace aputil::test
