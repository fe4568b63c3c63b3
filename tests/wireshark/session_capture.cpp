// Records a whole session against the simulator into a pcap file, for the
// dissector's sample capture. Run inside test namespaces:
//
//   tests/netns/with-netns -- env APUTIL_APSIM=build/dev/tools/apsim/apsim
//     build/dev/tests/wireshark/session_capture OUT.pcap [--keep-secrets]
//
// (one command line).

#include <cstdio>
#include <string>

#include "tests/wireshark/session.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && std::string(argv[2]) != "--keep-secrets")) {
        std::fprintf(stderr, "usage: session_capture OUT.pcap [--keep-secrets]\n");
        return 2;
    }
    aputil::test::SessionCapture options;
    options.keepSecrets = argc == 3;
    aputil::test::Apsim sim;
    aputil::test::SessionFacts facts;
    std::string error;
    if (!aputil::test::RecordSession(sim, argv[1], options, facts, error)) {
        std::fprintf(stderr, "session_capture: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
