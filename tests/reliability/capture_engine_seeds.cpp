// Records the frames the AP simulator really sends during a browse, login,
// image read, image write with commit, finish, session checks and a logout
// notice, and writes each as a seed input of fuzz_engine (fuzz/fuzz_engine.cpp
// describes the input form): the frame, tagged with the operation that was
// waiting when it arrived. Not a test; run by hand inside namespaces:
//
//   tests/netns/with-netns -- env APUTIL_APSIM=BUILD/tools/apsim/apsim
//     BUILD/tests/reliability/capture_engine_seeds fuzz/corpus/engine

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "protocol/startup.h"
#include "tests/support/apsim_process.h"
#include "tests/support/forwarding_driver.h"
#include "transport/adapter.h"

namespace {

using namespace aputil;

// Operation kinds as fuzz_engine numbers them.
enum Kind : uint8_t { kNone = 0, kBrowse = 1, kLogin = 2, kBlock = 3, kGet = 4, kHandleRead = 8 };

Kind waiting = kNone;
struct Seen {
    Kind kind;
    std::vector<uint8_t> frame;
};
std::vector<Seen> seen;

// Forwards everything to the real driver and keeps a copy of each frame handed over.
class TapDriver final : public test::ForwardingDriver {
public:
    explicit TapDriver(std::unique_ptr<PacketDriver> inner) : ForwardingDriver(std::move(inner)) {}
    int Drain(void (*sink)(void*, const uint8_t*, size_t), void* context) override {
        Forward forward{sink, context};
        return Inner().Drain(&TapDriver::Tee, &forward);
    }
    void Pause(int ms) override { Inner().Pause(ms); }

private:
    struct Forward {
        void (*sink)(void*, const uint8_t*, size_t);
        void* context;
    };
    static void Tee(void* context, const uint8_t* frame, size_t length) {
        seen.push_back({waiting, std::vector<uint8_t>(frame, frame + length)});
        auto* forward = static_cast<Forward*>(context);
        forward->sink(forward->context, frame, length);
    }
};

const char* KindName(Kind k) {
    switch (k) {
    case kNone:
        return "idle";
    case kBrowse:
        return "browse";
    case kLogin:
        return "login";
    case kBlock:
        return "block";
    case kGet:
        return "get";
    case kHandleRead:
        return "handle-read";
    }
    return "other";
}

void Append(std::vector<uint8_t>& seed, const std::vector<uint8_t>& frame, bool endOfBatch) {
    const size_t head = frame.size() | (endOfBatch ? 0x8000u : 0u);
    seed.push_back(static_cast<uint8_t>(head >> 8));
    seed.push_back(static_cast<uint8_t>(head & 0xFF));
    seed.insert(seed.end(), frame.begin(), frame.end());
}

bool Save(const std::filesystem::path& dir, const std::string& name, const std::vector<uint8_t>& seed) {
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: capture_engine_seeds OUTPUT-DIR\n");
        return 2;
    }
    const std::filesystem::path outDir = argv[1];
    std::filesystem::create_directories(outDir);

    theAdapter.SetDriver(std::make_unique<TapDriver>(MakePcapDriver()));
    InitPacketDriver();
    if (theAdapter.usableCount < 1 || !theAdapter.OpenAdapter(theAdapter.usableIndex[0])) {
        std::fprintf(stderr, "capture_engine_seeds: no usable adapter (run inside tests/netns/with-netns)\n");
        return 1;
    }
    currentAdapter = 0;

    test::Apsim sim;
    std::string error;
    if (!sim.Start({"--count", "3"}, error)) {
        std::fprintf(stderr, "capture_engine_seeds: %s\n", error.c_str());
        return 1;
    }
    if (sim.aps().empty()) {
        std::fprintf(stderr, "capture_engine_seeds: the simulator listed no AP\n");
        return 1;
    }
    const PeerAddress ap = PeerAddress::FromMac(sim.aps()[0].mac.data());

    waiting = kBrowse;
    BrowseRecord records[kBrowseCapacity];
    int count = kBrowseCapacity;
    Browse(TextAttribute(ATTR_VENDOR, "M-Rax"), TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point"),
           TextAttribute(ATTR_MODEL, ""), records, count);

    waiting = kLogin;
    uint16_t session = 0;
    if (Login(ap, "user", "wrong", session) == STATUS_OK || Login(ap, "user", "admin", session) != STATUS_OK) {
        std::fprintf(stderr, "capture_engine_seeds: the logins did not go as expected\n");
        return 1;
    }
    currentSession = session;

    // Session checks and a notice for another session arrive while nothing waits.
    waiting = kNone;
    sim.Command("check 0 " + std::to_string(session));
    sim.Command("check 0 7");
    theAdapter.StartReceive(ProtocolFrameHandler);
    theAdapter.WaitForFrames(200);
    theAdapter.StopReceive();

    waiting = kBlock;
    if (!ReadDeviceImage()) return 1;
    WriteSsid(configImage, "seeded");
    if (!WriteDeviceImage()) return 1;
    SendFinish(BLOCK_OP_FINISH);
    // A refused block request: an address outside every block.
    if (BlockOp(BLOCK_OP_READ, 0x12345678, 16)) return 1;

    waiting = kNone;
    sim.Command("logout 0 " + std::to_string(session));
    theAdapter.StartReceive(ProtocolFrameHandler);
    theAdapter.WaitForFrames(200);
    theAdapter.StopReceive();
    sim.Stop();

    // One seed per distinct (kind, message type, length), the session and
    // sequence mended by the fuzzer (flags 7), capacity 64.
    std::map<std::string, int> written;
    std::vector<uint8_t> browseBatch = {kBrowse, 0, 7, 64};
    for (const Seen& s : seen) {
        if (s.frame.size() < kEthHeaderSize + kFrameHeaderSize) continue;
        const uint16_t type = static_cast<uint16_t>(s.frame[kEthHeaderSize + 7] << 8 | s.frame[kEthHeaderSize + 8]);
        if (s.kind == kBrowse) Append(browseBatch, s.frame, false);
        const std::string name =
            std::string(KindName(s.kind)) + "-type" + std::to_string(type) + "-" + std::to_string(s.frame.size());
        if (written.count(name)) continue;
        written[name] = 1;
        std::vector<uint8_t> seed = {static_cast<uint8_t>(s.kind), static_cast<uint8_t>(session), 7, 64};
        Append(seed, s.frame, true);
        if (!Save(outDir, name, seed)) return 1;
        // The block replies also stand in for the replies of the other session operations.
        if (s.kind == kBlock) {
            for (Kind other : {kGet, kHandleRead}) {
                seed[0] = static_cast<uint8_t>(other);
                if (!Save(outDir, std::string(KindName(other)) + "-from-" + name, seed)) return 1;
            }
        }
    }
    if (browseBatch.size() > 4 && !Save(outDir, "browse-all-replies", browseBatch)) return 1;
    std::printf("%zu frames seen, %zu seeds written to %s\n", seen.size(), written.size(), outDir.c_str());
    return 0;
}
