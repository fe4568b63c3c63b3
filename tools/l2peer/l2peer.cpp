// l2peer: the far end of the wire tests and benchmarks, on one interface.
//
//   l2peer [--promisc] echo IFACE
//       Sends every EtherType 0xAAAA frame it receives straight back: destination
//       = the frame's source, source = the frame's destination (or this
//       interface's address when that was a group address).
//   l2peer send IFACE DSTMAC ETHERTYPE HEXPAYLOAD [--count N] [--gap-us U] [--src MAC]
//       Sends N frames (default 1) from this interface's address (or from MAC,
//       which may be any address, a group address included). With N > 1 the
//       payload starts with a 32-bit big-endian frame counter from 0. HEXPAYLOAD
//       may be "-" for an empty payload.
//   l2peer flood IFACE DSTMAC [--count N] [--timeout-ms T]
//       Sends junk EtherType 0xAAAA frames (60 bytes, no valid protocol header)
//       to DSTMAC back to back, as fast as the interface takes them, until N
//       frames (default 10,000,000) are out or T ms (default 10,000) have
//       passed; then prints "flooded FRAMES frames in MS ms" on stdout.
//   l2peer [--promisc] recv IFACE [--count N] [--timeout-ms T] [--any-type]
//       Prints each received frame (EtherType 0xAAAA unless --any-type) as one
//       line of hex; exits 0 after N frames, 1 when T ms pass first.
//
// echo and recv take directed and broadcast frames only, unless --promisc.
// Every mode prints "ready" once its capture is open; SIGTERM or SIGINT ends it.

#include <linux/filter.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/ether.h"
#include "protocol/hex.h"
#include "transport/adapter.h"

namespace {

using aputil::EtherHeader;
using aputil::MacAddress;
using aputil::PacketDriver;

volatile sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

struct Options {
    bool promiscuous = false;
    bool anyType = false;
    long count = -1;
    long gapUs = 0;
    long timeoutMs = -1;
    std::string source;  // send: the source MAC, when not the interface's own
    std::vector<std::string> positional;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: l2peer [--promisc] echo IFACE\n"
                 "       l2peer send IFACE DSTMAC ETHERTYPE HEXPAYLOAD [--count N] [--gap-us U] [--src MAC]\n"
                 "       l2peer [--promisc] recv IFACE [--count N] [--timeout-ms T] [--any-type]\n"
                 "       l2peer flood IFACE DSTMAC [--count N] [--timeout-ms T]   junk 0xAAAA frames at full rate\n");
    return 2;
}

bool ParseNumber(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

// HEXPAYLOAD: an even number of hex digits, or "-" for none.
bool ParsePayload(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    if (text == "-") return true;
    auto parsed = aputil::ParseHexBytes(text);
    if (!parsed) return false;
    bytes = std::move(*parsed);
    return true;
}

// Twelve hex digits, with any ':' or '-' between them.
bool ParseMac(const std::string& text, MacAddress& mac) {
    std::string digits;
    for (char c : text)
        if (c != ':' && c != '-') digits += c;
    MacAddress parsed;
    if (!aputil::ParseHex(digits, parsed)) return false;
    mac = parsed;
    return true;
}

// ETHERTYPE is hex, with or without 0x: 0xAAAA, aaaa, 0800.
bool ParseEtherType(std::string text, uint16_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    uint8_t bytes[2];
    if (!aputil::ParseHex(text, bytes)) return false;
    value = aputil::U16beAt(bytes, 0);
    return true;
}

// The 32-bit big-endian frame counter at the start of the payload.
void PutCounter(std::span<uint8_t> frame, long i) {
    aputil::ByteWriter w(frame.subspan(aputil::kEthHeaderSize));
    w.u32be(static_cast<uint32_t>(i));
}

bool ReadOwnAddress(PacketDriver& driver, const std::string& name, uint8_t* mac) {
    if (driver.HardwareAddress(name, mac)) return true;
    std::fprintf(stderr, "l2peer: no hardware address for %s\n", name.c_str());
    return false;
}

// Opens the capture and installs the filter the mode needs; prints "ready".
bool OpenPeer(PacketDriver& driver, const std::string& name, const sock_filter* program, size_t length) {
    aputil::OpenError error = aputil::OpenError::None;
    if (!driver.Open(name, error)) {
        std::fprintf(stderr, "l2peer: cannot open %s%s\n", name.c_str(),
                     error == aputil::OpenError::NoPrivilege ? " (needs CAP_NET_RAW)" : "");
        return false;
    }
    if (!driver.SetFilter(program, length)) {
        std::fprintf(stderr, "l2peer: cannot install the filter on %s\n", name.c_str());
        return false;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return true;
}

constexpr uint16_t kLoadHalf = BPF_LD | BPF_H | BPF_ABS;
constexpr uint16_t kJumpEqual = BPF_JMP | BPF_JEQ | BPF_K;
constexpr uint16_t kReturn = BPF_RET | BPF_K;
// For the sending modes, which read nothing: nothing queues.
constexpr sock_filter kDropAll{kReturn, 0, 0, 0};

// The filter for echo and recv: directed + broadcast 0xAAAA normally, any
// 0xAAAA with --promisc, anything (directed + broadcast, or all) with --any-type.
size_t PeerFilter(const Options& options, const uint8_t* ownMac, sock_filter* program) {
    if (options.anyType) {
        if (!options.promiscuous) {
            // The 0xAAAA program with its EtherType test turned into a no-op.
            const size_t length = aputil::BuildFilterProgram(ownMac, program);
            program[1] = sock_filter{kJumpEqual, 0, 0, 0};
            return length;
        }
        program[0] = sock_filter{kReturn, 0, 0, 0xFFFFFFFF};
        return 1;
    }
    if (!options.promiscuous) return aputil::BuildFilterProgram(ownMac, program);
    program[0] = sock_filter{kLoadHalf, 0, 0, 12};
    program[1] = sock_filter{kJumpEqual, 0, 1, 0xAAAA};
    program[2] = sock_filter{kReturn, 0, 0, 0xFFFFFFFF};
    program[3] = sock_filter{kReturn, 0, 0, 0};
    return 4;
}

struct EchoState {
    PacketDriver* driver;
    MacAddress ownMac;
    uint8_t buffer[aputil::kReadSlotBufferSize];
    long echoed;
};

void EchoFrame(void* context, const uint8_t* frame, size_t length) {
    auto* state = static_cast<EchoState*>(context);
    const std::optional<EtherHeader> in = aputil::ReadEtherHeader({frame, length});
    if (!in || length > sizeof state->buffer) return;
    std::memcpy(state->buffer, frame, length);
    EtherHeader out = *in;
    out.destination = in->source;
    out.source = aputil::IsGroupMac(in->destination.data()) ? state->ownMac : in->destination;
    aputil::WriteEtherHeader(state->buffer, out);
    if (state->driver->Send(state->buffer, length)) ++state->echoed;
}

int RunEcho(const Options& options) {
    if (options.positional.size() != 2) return Usage();
    auto driver = aputil::MakePcapDriver(options.promiscuous);
    static EchoState state{};
    state.driver = driver.get();
    if (!ReadOwnAddress(*driver, options.positional[1], state.ownMac.data())) return 1;
    sock_filter program[aputil::kFilterProgramLength];
    const size_t length = PeerFilter(options, state.ownMac.data(), program);
    if (!OpenPeer(*driver, options.positional[1], program, length)) return 1;
    while (!stopRequested) {
        if (driver->Poll(100)) driver->Drain(&EchoFrame, &state);
    }
    std::fprintf(stderr, "l2peer: echoed %ld frames\n", state.echoed);
    return 0;
}

struct PrintState {
    long printed;
};

void PrintFrame(void* context, const uint8_t* frame, size_t length) {
    auto* state = static_cast<PrintState*>(context);
    char line[2 * aputil::kReadSlotBufferSize + 2];
    size_t at = 0;
    for (size_t i = 0; i < length && at + 3 < sizeof line; ++i)
        at += static_cast<size_t>(std::snprintf(line + at, sizeof line - at, "%02x", frame[i]));
    line[at++] = '\n';
    std::fwrite(line, 1, at, stdout);
    std::fflush(stdout);
    ++state->printed;
}

int RunRecv(const Options& options) {
    if (options.positional.size() != 2) return Usage();
    auto driver = aputil::MakePcapDriver(options.promiscuous);
    MacAddress ownMac;
    if (!ReadOwnAddress(*driver, options.positional[1], ownMac.data())) return 1;
    sock_filter program[aputil::kFilterProgramLength];
    const size_t length = PeerFilter(options, ownMac.data(), program);
    if (!OpenPeer(*driver, options.positional[1], program, length)) return 1;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    PrintState state{0};
    while (!stopRequested && (options.count < 0 || state.printed < options.count)) {
        if (options.timeoutMs >= 0 && Clock::now() >= deadline) return 1;
        if (driver->Poll(50)) driver->Drain(&PrintFrame, &state);
    }
    return 0;
}

int RunSend(const Options& options) {
    if (options.positional.size() != 5) return Usage();
    const std::string& name = options.positional[1];
    uint8_t frame[aputil::kReadSlotBufferSize] = {};
    EtherHeader header;
    std::vector<uint8_t> payload;
    if (!ParseMac(options.positional[2], header.destination) ||
        !ParseEtherType(options.positional[3], header.etherType) || !ParsePayload(options.positional[4], payload))
        return Usage();
    const long count = options.count < 0 ? 1 : options.count;
    if (count > 1 && payload.size() < 4) payload.resize(4);
    const size_t length = aputil::kEthHeaderSize + payload.size();
    if (length > aputil::kEthMaxFrame) {
        std::fprintf(stderr, "l2peer: frame of %zu bytes is longer than 1514\n", length);
        return 2;
    }
    auto driver = aputil::MakePcapDriver(false);
    if (!options.source.empty()) {
        if (!ParseMac(options.source, header.source)) return Usage();
    } else if (!ReadOwnAddress(*driver, name, header.source.data())) {
        return 1;
    }
    // Nothing is read in this mode: drop everything so nothing queues.
    if (!OpenPeer(*driver, name, &kDropAll, 1)) return 1;
    aputil::WriteEtherHeader(frame, header);
    if (!payload.empty()) std::memcpy(frame + aputil::kEthHeaderSize, payload.data(), payload.size());
    for (long i = 0; i < count && !stopRequested; ++i) {
        if (count > 1) PutCounter(frame, i);
        if (!driver->Send(frame, length)) {
            std::fprintf(stderr, "l2peer: send %ld failed\n", i);
            return 1;
        }
        if (options.gapUs > 0) usleep(static_cast<useconds_t>(options.gapUs));
    }
    return 0;
}

int RunFlood(const Options& options) {
    if (options.positional.size() != 3) return Usage();
    const std::string& name = options.positional[1];
    uint8_t frame[60] = {};
    EtherHeader header;
    header.etherType = aputil::kEtherType;
    if (!ParseMac(options.positional[2], header.destination)) return Usage();
    auto driver = aputil::MakePcapDriver(false);
    if (!ReadOwnAddress(*driver, name, header.source.data())) return 1;
    if (!OpenPeer(*driver, name, &kDropAll, 1)) return 1;
    aputil::WriteEtherHeader(frame, header);
    // Junk behind the EtherType: the receiver must verify and drop every one.
    for (size_t i = aputil::kEthHeaderSize; i < sizeof frame; ++i) frame[i] = static_cast<uint8_t>(0x5A ^ i);
    const long count = options.count < 0 ? 10'000'000 : options.count;
    const long timeoutMs = options.timeoutMs < 0 ? 10'000 : options.timeoutMs;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    long sent = 0;
    for (long i = 0; i < count && !stopRequested; ++i) {
        // The clock is read once per 256 frames: the point is the rate.
        if ((i & 0xFF) == 0 && Clock::now() >= deadline) break;
        PutCounter(frame, i);
        // A full queue refuses a frame now and then; a flood goes on regardless.
        if (driver->Send(frame, sizeof frame)) ++sent;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::printf("flooded %ld frames in %lld ms\n", sent, static_cast<long long>(ms));
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long* number = nullptr;
        if (arg == "--promisc") options.promiscuous = true;
        else if (arg == "--any-type") options.anyType = true;
        else if (arg == "--count") number = &options.count;
        else if (arg == "--gap-us") number = &options.gapUs;
        else if (arg == "--timeout-ms") number = &options.timeoutMs;
        else if (arg == "--src" && i + 1 < argc) options.source = argv[++i];
        else options.positional.push_back(arg);
        if (number != nullptr && (i + 1 >= argc || !ParseNumber(argv[++i], *number))) return Usage();
    }
    if (options.positional.empty()) return Usage();

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const std::string& mode = options.positional[0];
    if (mode == "echo") return RunEcho(options);
    if (mode == "send") return RunSend(options);
    if (mode == "recv") return RunRecv(options);
    if (mode == "flood") return RunFlood(options);
    return Usage();
}
