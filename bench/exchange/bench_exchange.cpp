// Exchange latency on a veth pair, beside the raw L2 round trip on the same
// pair and the same CAdapter channel; login + image read; the browse of 100
// simulated APs through the utility's own channel; heap allocations per
// exchange. All in one run on one veth pair.
//
// Runs inside namespace A of tests/netns/with-netns (bench/run does that):
//   bench_exchange [--count N] [--logins N] [--browses N]
// with APUTIL_L2PEER and APUTIL_APSIM naming the peer programs, which it starts
// in namespace B. Prints the measurements for people, and one "RESULT name
// value" line per figure for bench/run, which compares them with the targets.
// Exits 1 when the exchange allocated, or when a measurement could not run.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "tests/support/peer_process.h"
#include "transport/adapter.h"
#include "transport/link_driver.h"

// ---------------------------------------------------------------- allocation counter
// Every heap allocation of the process goes through these (operator new ends in
// malloc); glibc's own entry points do the work.
namespace {
std::atomic<size_t> allocationCount{0};
}

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) noexcept {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}
}

namespace {

using namespace aputil;
using Clock = std::chrono::steady_clock;

struct Summary {
    double p50 = 0, p99 = 0;
    size_t samples = 0;
    size_t allocations = 0;
    size_t lost = 0;
};

Summary Summarize(std::vector<double>& micros, size_t allocations, size_t lost) {
    Summary s;
    s.samples = micros.size();
    s.allocations = allocations;
    s.lost = lost;
    if (micros.empty()) return s;
    std::sort(micros.begin(), micros.end());
    s.p50 = micros[micros.size() / 2];
    s.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    return s;
}

void Print(const char* name, const Summary& s) {
    std::printf("%-34s p50 %8.1f us   p99 %8.1f us   n=%zu lost=%zu allocations=%zu\n", name, s.p50, s.p99, s.samples,
                s.lost, s.allocations);
}

bool ParseMac(const std::string& text, uint8_t* mac) {
    unsigned v[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
    return true;
}

// ---------------------------------------------------------------- raw L2 echo

uint8_t echoPeer[6];
uint32_t echoExpected = 0;
bool echoSeen = false;

void OnEcho(const uint8_t* frame, size_t length) {
    if (length < kEthHeaderSize + 4 || std::memcmp(frame + 6, echoPeer, 6) != 0) return;
    const uint8_t* p = frame + kEthHeaderSize;
    const uint32_t counter = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    if (counter == echoExpected) echoSeen = true;
}

// Sends a frame of the block request's size and waits for it to come back,
// through the same channel calls the engine makes.
bool MeasureEcho(int count, size_t frameLength, Summary& out) {
    const std::string ns = test::Env("APUTIL_NS_B"), l2peer = test::Env("APUTIL_L2PEER");
    if (l2peer.empty() || !ParseMac(test::Env("APUTIL_PEER_MAC"), echoPeer)) {
        std::fprintf(stderr, "bench_exchange: APUTIL_L2PEER and APUTIL_PEER_MAC are needed\n");
        return false;
    }
    test::PeerProcess peer;
    std::string line;
    if (!peer.Start(ns, {l2peer, "echo", test::Env("APUTIL_PEER_IF")}) || !peer.WaitFor("ready", line, 10000)) {
        std::fprintf(stderr, "bench_exchange: l2peer echo did not start\n");
        return false;
    }
    uint8_t frame[kEthMaxFrame] = {};
    std::memcpy(frame, echoPeer, 6);
    std::memcpy(frame + 6, theAdapter.currentAddress, 6);
    frame[12] = 0xAA;
    frame[13] = 0xAA;

    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(count));
    size_t lost = 0, allocations = 0;
    const int warmUp = 100;
    theAdapter.StartReceive(OnEcho);
    for (int i = 0; i < warmUp + count; ++i) {
        echoExpected = static_cast<uint32_t>(i);
        echoSeen = false;
        frame[14] = static_cast<uint8_t>(i >> 24);
        frame[15] = static_cast<uint8_t>(i >> 16);
        frame[16] = static_cast<uint8_t>(i >> 8);
        frame[17] = static_cast<uint8_t>(i);
        const size_t before = allocationCount.load(std::memory_order_relaxed);
        const auto t0 = Clock::now();
        theAdapter.TransmitFrame(frame, frameLength);
        const auto deadline = t0 + std::chrono::milliseconds(1000);
        while (!echoSeen && Clock::now() < deadline) theAdapter.WaitForFrames(kPollIntervalMs);
        const auto t1 = Clock::now();
        if (i < warmUp) continue;
        allocations += allocationCount.load(std::memory_order_relaxed) - before;
        if (!echoSeen) {
            ++lost;
            continue;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    theAdapter.StopReceive();
    out = Summarize(micros, allocations, lost);
    return !micros.empty();
}

// ---------------------------------------------------------------- block read exchanges

// Starts apsim in namespace B with `count` APs; the first AP's MAC goes to mac.
bool StartApsim(test::PeerProcess& peer, int count, uint8_t* mac) {
    const std::string ns = test::Env("APUTIL_NS_B"), apsim = test::Env("APUTIL_APSIM");
    if (apsim.empty()) {
        std::fprintf(stderr, "bench_exchange: APUTIL_APSIM is needed\n");
        return false;
    }
    std::string line;
    std::memset(mac, 0, 6);
    if (!peer.Start(ns, {apsim, "--iface", test::Env("APUTIL_PEER_IF"), "--count", std::to_string(count)}))
        return false;
    while (peer.ReadLine(line, 20000) && line != "ready") {
        std::istringstream words(line);
        std::string tag, text;
        int index = 0;
        if (words >> tag >> index >> text && tag == "ap" && index == 0) ParseMac(text, mac);
    }
    if (line != "ready" || mac[0] == 0) {
        std::fprintf(stderr, "bench_exchange: apsim did not start\n");
        return false;
    }
    return true;
}

bool MeasureExchange(const uint8_t* mac, int count, Summary& out, size_t& requestFrameLength) {
    SetProtocolParameters(1500, 3, 1000);
    uint16_t session = 0;
    if (Login(PeerAddress::FromMac(mac), "user", "admin", session) != STATUS_OK) {
        std::fprintf(stderr, "bench_exchange: login to the simulator failed\n");
        return false;
    }
    uint8_t request[kBlockHeaderSize];
    BlockHeader{BLOCK_OP_INFO, 0, 0}.Write(request);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    if (BlockRequest(session, request, sizeof request, reply, replyLength) != STATUS_OK ||
        replyLength < kBlockHeaderSize + 24) {
        std::fprintf(stderr, "bench_exchange: the information block could not be read\n");
        return false;
    }
    const uint8_t* info = reply + kBlockHeaderSize;
    const uint32_t imageAddress = uint32_t{info[20]} | uint32_t{info[21]} << 8 | uint32_t{info[22]} << 16 |
                                  uint32_t{info[23]} << 24;
    // The request on the wire: Ethernet header, protocol header, session,
    // count, block header, checksum.
    requestFrameLength = kEthHeaderSize + kFrameHeaderSize + 2 + 2 + kBlockHeaderSize + 2;

    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(count));
    size_t failed = 0, allocations = 0;
    const int warmUp = 100;
    for (int i = 0; i < warmUp + count; ++i) {
        BlockHeader{BLOCK_OP_READ, imageAddress + 512u * static_cast<uint32_t>(i % 8), 512}.Write(request);
        const size_t before = allocationCount.load(std::memory_order_relaxed);
        const auto t0 = Clock::now();
        const int status = BlockRequest(session, request, sizeof request, reply, replyLength);
        const auto t1 = Clock::now();
        if (i < warmUp) continue;
        allocations += allocationCount.load(std::memory_order_relaxed) - before;
        if (status != STATUS_OK || replyLength != kBlockHeaderSize + 512) {
            ++failed;
            continue;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    Logout(session);
    out = Summarize(micros, allocations, failed);
    return !micros.empty();
}


// ---------------------------------------------------------------- login + image read

bool MeasureLoginRead(const uint8_t* mac, int count, Summary& out) {
    std::vector<double> micros;
    size_t failed = 0;
    for (int i = 0; i < count + 10; ++i) {
        const auto t0 = Clock::now();
        uint16_t session = 0;
        const bool ok = Login(PeerAddress::FromMac(mac), "user", "admin", session) == STATUS_OK &&
                        (currentSession = session, ReadDeviceImage());
        const auto t1 = Clock::now();
        if (session != 0) Logout(session);
        if (i < 10) continue;
        if (!ok) {
            ++failed;
            continue;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    out = Summarize(micros, 0, failed);
    return !micros.empty();
}

// ---------------------------------------------------------------- browse of 100 APs

struct BrowseSummary {
    int runs = 0;
    int fewest = 0, most = 0;
    double fastestMs = 0, slowestMs = 0, medianMs = 0;
};

// As the login page does it, per adapter: open, browse with the 1000 ms
// window, close.
bool MeasureBrowse(int runs, int aps, BrowseSummary& out) {
    static BrowseRecord records[kBrowseCapacity];
    std::vector<double> wall;
    std::vector<int> listed;
    const Attribute vendor = TextAttribute(ATTR_VENDOR, "M-Rax");
    const Attribute product = TextAttribute(ATTR_PRODUCT, "Lumivance/QR-4710 Access Point");
    const Attribute model = TextAttribute(ATTR_MODEL, "QR-4710A Smart AP");
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        if (!theAdapter.OpenAdapter(theAdapter.usableIndex[0])) return false;
        const auto opened = Clock::now();
        const uint16_t saved = GetTimeout();
        SetTimeout(1000);
        int count = kBrowseCapacity;
        const int status = Browse(vendor, product, model, records, count);
        SetTimeout(saved);
        const auto browsed = Clock::now();
        theAdapter.CloseAdapter();
        const auto t1 = Clock::now();
        if (status != STATUS_OK) return false;
        auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
        wall.push_back(ms(t1 - t0));
        listed.push_back(count);
        std::printf("  browse %2d: %3d of %d APs listed, %.1f ms (open %.1f, Browse %.1f, close %.1f)\n", i + 1,
                    count, aps, wall.back(), ms(opened - t0), ms(browsed - opened), ms(t1 - browsed));
    }
    out.runs = runs;
    out.fewest = *std::min_element(listed.begin(), listed.end());
    out.most = *std::max_element(listed.begin(), listed.end());
    std::sort(wall.begin(), wall.end());
    out.fastestMs = wall.front();
    out.slowestMs = wall.back();
    out.medianMs = wall[wall.size() / 2];
    return true;
}

void Result(const char* name, double value) { std::printf("RESULT %s %.6g\n", name, value); }

}  // namespace

int main(int argc, char** argv) {
    int count = 2000, logins = 200, browses = 20;
    std::string linkHelper;  // --link PATH: the block-read exchange through the packet helper as well
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0) {
            linkHelper = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--count") == 0) count = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--logins") == 0) logins = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--browses") == 0) browses = std::max(1, std::atoi(argv[++i]));
    }

    // The count of 0 below means something only if the hook sees allocations.
    {
        // Called through volatile pointers so that the optimiser cannot drop them.
        void* (*volatile allocate)(size_t) = malloc;
        void* (*volatile allocateObject)(size_t) = ::operator new;
        const size_t before = allocationCount.load();
        void* a = allocate(32);
        void* b = allocateObject(32);
        const bool counted = allocationCount.load() - before >= 2;
        free(a);
        ::operator delete(b);
        if (!counted) {
            std::fprintf(stderr, "bench_exchange: the allocation hook is not in effect\n");
            return 1;
        }
    }

    InitPacketDriver();
    if (theAdapter.usableCount < 1 || !theAdapter.OpenAdapter(theAdapter.usableIndex[0])) {
        std::fprintf(stderr, "bench_exchange: no usable adapter (run inside tests/netns/with-netns)\n");
        return 1;
    }
    currentAdapter = 0;
    std::printf("\n");

    Summary exchange, echo, loginRead, linkExchange;
    bool linkMeasured = false;
    size_t requestFrameLength = 0;
    {
        test::PeerProcess apsim;
        uint8_t mac[6];
        if (!StartApsim(apsim, 1, mac)) return 1;
        SetProtocolParameters(1500, 3, 1000);
        if (!MeasureExchange(mac, count, exchange, requestFrameLength)) return 1;
        if (!MeasureLoginRead(mac, logins, loginRead)) {
            std::fprintf(stderr, "bench_exchange: login + image read failed every time\n");
            return 1;
        }
        if (!linkHelper.empty()) {
            // The same exchange with the capture in the helper process; the
            // allocations counted are the client's (this process's) own.
            std::unique_ptr<PacketDriver> link = MakeLinkDriver(linkHelper);
            if (link) theAdapter.SetDriver(std::move(link));
            if (!dynamic_cast<LinkDriver*>(&theAdapter.Driver()) ||
                !theAdapter.ProbeAdapters() ||
                !theAdapter.OpenAdapter(theAdapter.usableIndex[0])) {
                std::fprintf(stderr, "bench_exchange: the packet helper %s could not open the link\n",
                             linkHelper.c_str());
                return 1;
            }
            size_t ignored = 0;
            linkMeasured = MeasureExchange(mac, count, linkExchange, ignored);
            theAdapter.SetDriver(MakePcapDriver());
            if (!theAdapter.ProbeAdapters() || !theAdapter.OpenAdapter(theAdapter.usableIndex[0])) return 1;
        }
    }
    if (!MeasureEcho(count, requestFrameLength, echo)) return 1;

    std::printf("on %s, %d round trips each after 100 warm-up rounds\n", theAdapter.usableName[0].c_str(), count);
    Print("raw L2 echo (l2peer)", echo);
    Print("block read exchange (apsim, 512 B)", exchange);
    std::printf("ratio exchange/echo p50: %.2f\n", echo.p50 > 0 ? exchange.p50 / echo.p50 : 0.0);
    const double perExchange = static_cast<double>(exchange.allocations) / static_cast<double>(count);
    std::printf("heap allocations per exchange: %g (%zu over %d exchanges)\n", perExchange, exchange.allocations,
                count);
    if (linkMeasured) {
        Print("block read exchange through the packet helper", linkExchange);
        std::printf("ratio helper exchange/echo p50: %.2f; heap allocations per exchange in the client: %g\n",
                    echo.p50 > 0 ? linkExchange.p50 / echo.p50 : 0.0,
                    static_cast<double>(linkExchange.allocations) / static_cast<double>(count));
    }
    Print("login + ReadDeviceImage", loginRead);
    std::printf("ratio (login + read)/(11 raw echoes) p50: %.2f\n",
                echo.p50 > 0 ? loginRead.p50 / (11 * echo.p50) : 0.0);
    theAdapter.CloseAdapter();

    BrowseSummary browse;
    {
        test::PeerProcess apsim;
        uint8_t mac[6];
        if (!StartApsim(apsim, 100, mac)) return 1;
        std::printf("browse of 100 simulated APs (one apsim), open + Browse + close, %d times:\n", browses);
        if (!MeasureBrowse(browses, 100, browse)) {
            std::fprintf(stderr, "bench_exchange: the browse could not run\n");
            return 1;
        }
        std::printf("APs listed per browse: fewest %d, most %d (of 100); wall time per browse: min %.1f ms, "
                    "median %.1f ms, max %.1f ms\n",
                    browse.fewest, browse.most, browse.fastestMs, browse.medianMs, browse.slowestMs);
    }

    Result("echo_p50_us", echo.p50);
    Result("echo_p99_us", echo.p99);
    Result("exchange_p50_us", exchange.p50);
    Result("exchange_p99_us", exchange.p99);
    Result("exchange_failed", static_cast<double>(exchange.lost));
    Result("allocations_per_exchange", perExchange);
    if (linkMeasured) {
        Result("link_exchange_p50_us", linkExchange.p50);
        Result("link_exchange_p99_us", linkExchange.p99);
        Result("link_exchange_failed", static_cast<double>(linkExchange.lost));
        Result("link_allocations_per_exchange",
               static_cast<double>(linkExchange.allocations) / static_cast<double>(count));
    }
    Result("login_read_p50_us", loginRead.p50);
    Result("login_read_p99_us", loginRead.p99);
    Result("login_read_failed", static_cast<double>(loginRead.lost));
    Result("browse_runs", browse.runs);
    Result("browse_fewest", browse.fewest);
    Result("browse_most", browse.most);
    Result("browse_min_ms", browse.fastestMs);
    Result("browse_median_ms", browse.medianMs);
    Result("browse_max_ms", browse.slowestMs);
    if (exchange.allocations != 0 || (linkMeasured && linkExchange.allocations != 0)) {
        std::printf("FAIL: the exchange path allocated\n");
        return 1;
    }
    return 0;
}
