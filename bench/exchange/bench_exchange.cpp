// Exchange latency on a veth pair beside the raw L2 round trip on the same
// pair and the same CAdapter channel, measured like with like: the echo peer
// and the simulator run side by side and the samples alternate in short
// blocks (the peer not in use is stopped), so that both kinds meet the same
// load and the same placement of the processes on the cores. Also login +
// image read, the browse of 100 simulated APs through the utility's own
// channel, heap allocations per exchange, and a silent AP's wait under a
// flood of junk at the veth's full rate.
//
// Runs inside namespace A of tests/netns/with-netns (bench/run does that):
//   bench_exchange [--count N] [--logins N] [--browses N] [--peer-cpu C] [--flood-ms MS] [--link PATH]
// with APUTIL_L2PEER and APUTIL_APSIM naming the peer programs, which it starts
// in namespace B (on core C when given; bench/run pins this program itself).
// With --link, each block also runs the exchange with the capture in the
// packet helper at PATH (the allocations counted are this client's own).
// Prints the measurements for people, and one "RESULT name value" line per
// figure for bench/run, which compares them with the targets. Exits 1 when
// the exchange allocated, or when a measurement could not run.

#include <signal.h>
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
#include "protocol/startup.h"
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

// ---------------------------------------------------------------- peers

int peerCpu = -1;  // core for the peers, -1: wherever the scheduler puts them

std::vector<std::string> PeerCommand(std::vector<std::string> command) {
    if (peerCpu < 0) return command;
    command.insert(command.begin(), {"taskset", "-c", std::to_string(peerCpu)});
    return command;
}

// `ip netns exec` and taskset both exec, so the peer's pid is the program's.
void Pause(test::PeerProcess& peer) { kill(peer.Pid(), SIGSTOP); }
void Resume(test::PeerProcess& peer) { kill(peer.Pid(), SIGCONT); }

bool StartEchoPeer(test::PeerProcess& peer) {
    const std::string l2peer = test::Env("APUTIL_L2PEER");
    std::string line;
    if (l2peer.empty() ||
        !peer.Start(test::Env("APUTIL_NS_B"), PeerCommand({l2peer, "echo", test::Env("APUTIL_PEER_IF")})) ||
        !peer.WaitFor("ready", line, 10000)) {
        std::fprintf(stderr, "bench_exchange: l2peer echo did not start\n");
        return false;
    }
    return true;
}

// Starts apsim in namespace B with `count` APs and the extra options; the
// first AP's MAC goes to mac.
bool StartApsim(test::PeerProcess& peer, int count, uint8_t* mac, std::vector<std::string> extra = {}) {
    const std::string ns = test::Env("APUTIL_NS_B"), apsim = test::Env("APUTIL_APSIM");
    if (apsim.empty()) {
        std::fprintf(stderr, "bench_exchange: APUTIL_APSIM is needed\n");
        return false;
    }
    std::string line;
    std::memset(mac, 0, 6);
    std::vector<std::string> command = {apsim, "--iface", test::Env("APUTIL_PEER_IF"), "--count",
                                        std::to_string(count)};
    command.insert(command.end(), extra.begin(), extra.end());
    if (!peer.Start(ns, PeerCommand(command))) return false;
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

// Changes one of the running simulator's fault knobs ("NAME VALUE").
bool SetSimulatorFault(test::PeerProcess& apsim, const std::string& knob) {
    std::string line;
    return apsim.Send("fault " + knob + "\n") && apsim.WaitFor("ok fault", line, 5000);
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Samples of one kind, gathered over several blocks.
struct Samples {
    std::vector<double> micros;
    size_t allocations = 0;
    size_t lost = 0;
    Summary Summarize() { return ::Summarize(micros, allocations, lost); }
};

// ---------------------------------------------------------------- raw L2 echo

uint8_t echoPeer[6];
uint32_t echoExpected = 0;
bool echoSeen = false;
uint32_t echoCounter = 0;

void OnEcho(const uint8_t* frame, size_t length) {
    if (length < kEthHeaderSize + 4 || std::memcmp(frame + 6, echoPeer, 6) != 0) return;
    const uint8_t* p = frame + kEthHeaderSize;
    const uint32_t counter = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    if (counter == echoExpected) echoSeen = true;
}

// Sends frames of the block request's size and waits for each to come back,
// through the same channel calls the engine makes; the first `warmUp` are not kept.
void EchoBlock(size_t frameLength, int count, int warmUp, Samples& out) {
    uint8_t frame[kEthMaxFrame] = {};
    std::memcpy(frame, echoPeer, 6);
    std::memcpy(frame + 6, theAdapter.currentAddress, 6);
    frame[12] = 0xAA;
    frame[13] = 0xAA;
    theAdapter.StartReceive(OnEcho);
    for (int i = 0; i < warmUp + count; ++i) {
        const uint32_t n = echoCounter++;
        echoExpected = n;
        echoSeen = false;
        frame[14] = static_cast<uint8_t>(n >> 24);
        frame[15] = static_cast<uint8_t>(n >> 16);
        frame[16] = static_cast<uint8_t>(n >> 8);
        frame[17] = static_cast<uint8_t>(n);
        const size_t before = allocationCount.load(std::memory_order_relaxed);
        const auto t0 = Clock::now();
        theAdapter.TransmitFrame(frame, frameLength);
        const auto deadline = t0 + std::chrono::milliseconds(1000);
        while (!echoSeen && Clock::now() < deadline) theAdapter.WaitForFrames(kPollIntervalMs, kReplySpinUs);
        const auto t1 = Clock::now();
        if (i < warmUp) continue;
        out.allocations += allocationCount.load(std::memory_order_relaxed) - before;
        if (!echoSeen) {
            ++out.lost;
            continue;
        }
        out.micros.push_back(Micros(t1 - t0));
    }
    theAdapter.StopReceive();
}

// ---------------------------------------------------------------- block read exchanges

struct ApSession {
    uint8_t mac[6];
    uint16_t session = 0;
    uint32_t imageAddress = 0;
};

bool OpenSession(ApSession& ap) {
    SetProtocolParameters(1500, 3, 1000);
    if (Login(PeerAddress::FromMac(ap.mac), "user", "admin", ap.session) != STATUS_OK) {
        std::fprintf(stderr, "bench_exchange: login to the simulator failed\n");
        return false;
    }
    uint8_t request[kBlockHeaderSize];
    BlockHeader{BLOCK_OP_INFO, 0, 0}.Write(request);
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    if (BlockRequest(ap.session, request, sizeof request, reply, replyLength) != STATUS_OK ||
        replyLength < kBlockHeaderSize + 24) {
        std::fprintf(stderr, "bench_exchange: the information block could not be read\n");
        return false;
    }
    const uint8_t* info = reply + kBlockHeaderSize;
    ap.imageAddress =
        uint32_t{info[20]} | uint32_t{info[21]} << 8 | uint32_t{info[22]} << 16 | uint32_t{info[23]} << 24;
    return true;
}

// The block read request on the wire: Ethernet header, protocol header,
// session, count, block header, checksum.
constexpr size_t kRequestFrameLength = kEthHeaderSize + kFrameHeaderSize + 2 + 2 + kBlockHeaderSize + 2;

void ExchangeBlock(const ApSession& ap, int count, int warmUp, Samples& out) {
    uint8_t request[kBlockHeaderSize];
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    for (int i = 0; i < warmUp + count; ++i) {
        BlockHeader{BLOCK_OP_READ, ap.imageAddress + 512u * static_cast<uint32_t>(i % 8), 512}.Write(request);
        const size_t before = allocationCount.load(std::memory_order_relaxed);
        const auto t0 = Clock::now();
        const int status = BlockRequest(ap.session, request, sizeof request, reply, replyLength);
        const auto t1 = Clock::now();
        if (i < warmUp) continue;
        out.allocations += allocationCount.load(std::memory_order_relaxed) - before;
        if (status != STATUS_OK || replyLength != kBlockHeaderSize + 512) {
            ++out.lost;
            continue;
        }
        out.micros.push_back(Micros(t1 - t0));
    }
}

// ---------------------------------------------------------------- login + image read

void LoginReadBlock(const uint8_t* mac, int count, int warmUp, Samples& out) {
    for (int i = 0; i < warmUp + count; ++i) {
        const auto t0 = Clock::now();
        uint16_t session = 0;
        const bool ok = Login(PeerAddress::FromMac(mac), "user", "admin", session) == STATUS_OK &&
                        (currentSession = session, ReadDeviceImage());
        const auto t1 = Clock::now();
        if (session != 0) Logout(session);
        if (i < warmUp) continue;
        if (!ok) {
            ++out.lost;
            continue;
        }
        out.micros.push_back(Micros(t1 - t0));
    }
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
        std::printf("  browse %2d: %3d of %d APs listed, %.1f ms (open %.1f, Browse %.1f, close %.1f)\n", i + 1, count,
                    aps, wall.back(), ms(opened - t0), ms(browsed - opened), ms(t1 - browsed));
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

// ---------------------------------------------------------------- a silent AP under a flood of junk

std::vector<Clock::time_point> pumpTimes;
void RecordPump() {
    if (pumpTimes.size() < pumpTimes.capacity()) pumpTimes.push_back(Clock::now());
}

long RxPackets(const std::string& iface) {
    std::FILE* f = std::fopen(("/sys/class/net/" + iface + "/statistics/rx_packets").c_str(), "r");
    if (f == nullptr) return -1;
    long n = -1;
    if (std::fscanf(f, "%ld", &n) != 1) n = -1;
    std::fclose(f);
    return n;
}

struct FloodSummary {
    double framesPerSecond = 0;
    double longestGapMs = 0;
    double waitMs = 0;
    int status = -1;
};

// The peer in namespace B sends junk 0xAAAA frames to this adapter as fast as
// the veth takes them while a login waits for an AP that is not there; the
// pump hook stands in for the window and records when it ran.
bool MeasureFlood(int waitMs, FloodSummary& out) {
    const std::string l2peer = test::Env("APUTIL_L2PEER"), iface = test::Env("APUTIL_IF");
    char dst[18];
    const uint8_t* a = theAdapter.currentAddress;
    std::snprintf(dst, sizeof dst, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
    test::PeerProcess flooder;
    std::string line;
    // A protocol header with the wrong magic: read, looked at and dropped.
    if (!flooder.Start(test::Env("APUTIL_NS_B"),
                       PeerCommand({l2peer, "send", test::Env("APUTIL_PEER_IF"), dst, "0xAAAA",
                                    "0000000012340100200001000400000000000000000000000000000000000000", "--count",
                                    "100000000"}))) {
        std::fprintf(stderr, "bench_exchange: the flooder did not start\n");
        return false;
    }
    flooder.WaitFor("ready", line, 5000);
    usleep(100000);  // let the flood reach its rate
    SetProtocolParameters(1500, 0, waitMs);
    pumpTimes.clear();
    pumpTimes.reserve(100000);
    SetPumpHook(RecordPump);
    const long rx0 = RxPackets(iface);
    const auto t0 = Clock::now();
    uint16_t session = 0;
    const uint8_t nobody[6] = {0x02, 0x00, 0x5E, 0x00, 0x00, 0x99};
    out.status = Login(PeerAddress::FromMac(nobody), "user", "admin", session);
    const auto t1 = Clock::now();
    const long rx1 = RxPackets(iface);
    SetPumpHook(nullptr);
    flooder.Stop(2000);
    SetProtocolParameters(1500, 3, 1000);
    out.waitMs = Micros(t1 - t0) / 1000.0;
    out.framesPerSecond = rx0 >= 0 && rx1 >= rx0 ? static_cast<double>(rx1 - rx0) / (out.waitMs / 1000.0) : -1;
    Clock::time_point last = t0;
    for (const auto& t : pumpTimes) {
        out.longestGapMs = std::max(out.longestGapMs, Micros(t - last) / 1000.0);
        last = t;
    }
    out.longestGapMs = std::max(out.longestGapMs, Micros(t1 - last) / 1000.0);
    return true;
}

void Result(const char* name, double value) { std::printf("RESULT %s %.6g\n", name, value); }

// Puts the packet helper's driver, or the in-process one, under the adapter
// and opens the first usable adapter again.
bool UseDriver(const std::string& linkHelper) {
    if (linkHelper.empty()) {
        theAdapter.SetDriver(MakePcapDriver());
    } else {
        std::unique_ptr<PacketDriver> link = MakeLinkDriver(linkHelper);
        if (!link) return false;
        theAdapter.SetDriver(std::move(link));
        if (dynamic_cast<LinkDriver*>(&theAdapter.Driver()) == nullptr) return false;
    }
    return theAdapter.ProbeAdapters() && theAdapter.usableCount > 0 &&
           theAdapter.OpenAdapter(theAdapter.usableIndex[0]);
}

}  // namespace

int main(int argc, char** argv) {
    int count = 2000, logins = 200, browses = 5, floodMs = 1000;
    std::string linkHelper;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0) {
            linkHelper = argv[++i];
            continue;
        }
        if (std::strcmp(argv[i], "--count") == 0) count = std::max(10, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--logins") == 0) logins = std::max(10, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--browses") == 0) browses = std::max(0, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--peer-cpu") == 0) peerCpu = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--flood-ms") == 0) floodMs = std::max(0, std::atoi(argv[++i]));
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
    if (!ParseMac(test::Env("APUTIL_PEER_MAC"), echoPeer)) {
        std::fprintf(stderr, "bench_exchange: APUTIL_PEER_MAC is needed\n");
        return 1;
    }
    currentAdapter = 0;
    std::printf("\n");

    // Both peers at once; the samples alternate in blocks of a tenth each.
    Samples echo, exchange, loginRead, loginReadJunk, linkExchange;
    {
        test::PeerProcess echoPeerProcess, apsim;
        ApSession ap;
        if (!StartEchoPeer(echoPeerProcess) || !StartApsim(apsim, 1, ap.mac)) return 1;
        if (!OpenSession(ap)) return 1;
        constexpr int kBlocks = 10;
        for (int b = 0; b < kBlocks; ++b) {
            Pause(apsim);
            Resume(echoPeerProcess);
            EchoBlock(kRequestFrameLength, count / kBlocks, 10, echo);
            Pause(echoPeerProcess);
            Resume(apsim);
            // The warm-up also lets the simulator drain the echo frames it saw meanwhile.
            ExchangeBlock(ap, count / kBlocks, 10, exchange);
            LoginReadBlock(ap.mac, logins / kBlocks, 2, loginRead);
            // The same amid junk frames around every reply, with no pump at
            // all: what the receive path itself pays per junk frame.
            if (SetSimulatorFault(apsim, "junk 7")) {
                LoginReadBlock(ap.mac, logins / kBlocks, 2, loginReadJunk);
                SetSimulatorFault(apsim, "junk 0");
            }
            if (!linkHelper.empty()) {
                // The helper's address is the same interface's: the session stays valid.
                if (!UseDriver(linkHelper)) {
                    std::fprintf(stderr, "bench_exchange: the packet helper %s could not open the link\n",
                                 linkHelper.c_str());
                    return 1;
                }
                ExchangeBlock(ap, count / kBlocks, 10, linkExchange);
                if (!UseDriver({})) return 1;
            }
        }
        Resume(echoPeerProcess);
        Logout(ap.session);
    }
    Summary echoS = echo.Summarize(), exchangeS = exchange.Summarize(), loginReadS = loginRead.Summarize();
    if (echoS.samples == 0 || exchangeS.samples == 0 || loginReadS.samples == 0) {
        std::fprintf(stderr, "bench_exchange: a measurement got no samples (echo %zu, exchange %zu, login %zu)\n",
                     echoS.samples, exchangeS.samples, loginReadS.samples);
        return 1;
    }

    std::printf("on %s, peers %s; echo, exchange and login + read alternating in 10 blocks\n",
                theAdapter.usableName[0].c_str(),
                peerCpu < 0 ? "unpinned" : ("on core " + std::to_string(peerCpu)).c_str());
    Print("raw L2 echo (l2peer)", echoS);
    Print("block read exchange (apsim, 512 B)", exchangeS);
    std::printf("ratio exchange/echo p50: %.2f\n", exchangeS.p50 / echoS.p50);
    const double perExchange =
        static_cast<double>(exchangeS.allocations) / static_cast<double>(exchangeS.samples + exchangeS.lost);
    std::printf("heap allocations per exchange: %g (%zu over %zu exchanges)\n", perExchange, exchangeS.allocations,
                exchangeS.samples + exchangeS.lost);
    Summary linkS = linkExchange.Summarize();
    if (linkS.samples > 0) {
        Print("block read exchange through the packet helper", linkS);
        std::printf("ratio helper exchange/echo p50: %.2f; heap allocations per exchange in the client: %g\n",
                    linkS.p50 / echoS.p50,
                    static_cast<double>(linkS.allocations) / static_cast<double>(linkS.samples + linkS.lost));
    }
    Print("login + ReadDeviceImage", loginReadS);
    std::printf("ratio (login + read)/(11 raw echoes) p50: %.2f\n", loginReadS.p50 / (11 * echoS.p50));
    Summary junkS = loginReadJunk.Summarize();
    if (junkS.samples > 0) {
        Print("login + read amid 7 junk per reply", junkS);
        std::printf("ratio (login + read amid junk)/(login + read) p50, no pump: %.2f\n", junkS.p50 / loginReadS.p50);
    }

    FloodSummary flood;
    const bool flooded = floodMs > 0 && MeasureFlood(floodMs, flood);
    if (flooded)
        std::printf(
            "silent AP under a junk flood: wait %.1f ms (of %d), %.0f frames/s arriving, longest pump gap %.1f ms\n",
            flood.waitMs, floodMs, flood.framesPerSecond, flood.longestGapMs);
    theAdapter.CloseAdapter();

    BrowseSummary browse;
    if (browses > 0) {
        test::PeerProcess apsim;
        uint8_t mac[6];
        if (!StartApsim(apsim, 100, mac)) return 1;
        std::printf("browse of 100 simulated APs (one apsim), open + Browse + close, %d times:\n", browses);
        if (!MeasureBrowse(browses, 100, browse)) {
            std::fprintf(stderr, "bench_exchange: the browse could not run\n");
            return 1;
        }
        std::printf(
            "APs listed per browse: fewest %d, most %d (of 100); wall time per browse: min %.1f ms, "
            "median %.1f ms, max %.1f ms\n",
            browse.fewest, browse.most, browse.fastestMs, browse.medianMs, browse.slowestMs);
    }

    Result("echo_p50_us", echoS.p50);
    Result("echo_p99_us", echoS.p99);
    Result("exchange_p50_us", exchangeS.p50);
    Result("exchange_p99_us", exchangeS.p99);
    Result("exchange_failed", static_cast<double>(exchangeS.lost));
    Result("allocations_per_exchange", perExchange);
    Result("login_read_p50_us", loginReadS.p50);
    Result("login_read_p99_us", loginReadS.p99);
    Result("login_read_failed", static_cast<double>(loginReadS.lost));
    if (junkS.samples > 0) Result("login_read_junk_p50_us", junkS.p50);
    if (flooded) {
        Result("flood_frames_per_s", flood.framesPerSecond);
        Result("flood_longest_pump_gap_ms", flood.longestGapMs);
        Result("flood_wait_ms", flood.waitMs);
        Result("flood_wait_target_ms", floodMs);
    }
    if (browses > 0) {
        Result("browse_runs", browse.runs);
        Result("browse_fewest", browse.fewest);
        Result("browse_most", browse.most);
        Result("browse_min_ms", browse.fastestMs);
        Result("browse_median_ms", browse.medianMs);
        Result("browse_max_ms", browse.slowestMs);
    }
    if (linkS.samples > 0) {
        Result("link_exchange_p50_us", linkS.p50);
        Result("link_exchange_p99_us", linkS.p99);
        Result("link_exchange_failed", static_cast<double>(linkS.lost));
        Result("link_allocations_per_exchange",
               static_cast<double>(linkS.allocations) / static_cast<double>(linkS.samples + linkS.lost));
    }
    if (exchangeS.allocations != 0 || linkS.allocations != 0) {
        std::printf("FAIL: the exchange path allocated\n");
        return 1;
    }
    return 0;
}
