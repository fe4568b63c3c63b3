// Measures the running window: the wall time of its browse over every usable
// adapter and what it lists, login + image read through the window's own
// event pump with and without junk frames around each reply, its peak
// resident memory after a login, and the CPU it uses while idle.
// Runs inside the namespaces of tests/netns/with-netns (bench/run starts it,
// with --links N --bridge for several adapters on one segment):
//   bench_window [--aps N] [--browses N] [--login-reads N] [--junk N] [--idle S]
// and prints "key value" lines that bench/run turns into its report.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/image.h"
#include "protocol/engine.h"
#include "protocol/operations.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "ui/form1.h"

namespace {

// Peak resident set size of this process in kB (VmHWM), -1 when unknown.
long PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Option(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::max(0, std::atoi(argv[i + 1]));
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace aputil;
    using namespace aputil::test;
    const int aps = std::max(1, Option(argc, argv, "--aps", 3));
    const int browses = Option(argc, argv, "--browses", 0);
    const int loginReads = Option(argc, argv, "--login-reads", 0);
    const int junk = Option(argc, argv, "--junk", 7);
    const int idleSeconds = Option(argc, argv, "--idle", 0);
    QApplication app(argc, argv);
    if (!InTestNamespace()) {
        std::fprintf(stderr, "bench_window: run it through tests/netns/with-netns\n");
        return 77;
    }
    QTemporaryDir work;
    ScopedCurrentDir inWork(work.path());

    ApSim sim;
    if (!sim.Start({QStringLiteral("--count"), QString::number(aps), QStringLiteral("--password"),
                    QStringLiteral("bench"), QStringLiteral("--fault-on"), QStringLiteral("login,block")})) {
        std::fprintf(stderr, "bench_window: apsim did not start\n");
        return 1;
    }
    TForm1 form1;
    TUInterface uinterface;
    TMessageForm messageForm(&form1);
    MessageWatcher watcher(messageForm);

    // Every browse the window runs, from its start to the filled list.
    std::vector<double> browseMs;
    QElapsedTimer browseClock;
    QObject::connect(&form1, &TForm1::BrowseStarted, [&] { browseClock.start(); });
    QObject::connect(&form1, &TForm1::BrowseFinished,
                     [&] { browseMs.push_back(static_cast<double>(browseClock.nsecsElapsed()) / 1e6); });
    form1.show();
    if (!WaitFor([&] { return !browseMs.empty() && !form1.browsing; }, 120000) || form1.accessPointCount == 0) {
        std::fprintf(stderr, "bench_window: no AP listed\n");
        return 1;
    }
    std::printf("window_usable_adapters %d\n", theAdapter.usableCount);

    if (browses > 0) {
        int fewest = kBrowseCapacity, fromOthers = 0;
        auto judge = [&] {
            fewest = std::min(fewest, form1.accessPointCount);
            for (int i = 0; i < form1.accessPointCount; ++i)
                if (form1.accessPointList[static_cast<size_t>(i)].adapter != 0) ++fromOthers;
        };
        judge();
        // The first browse ran at start; the rest as "browse again" runs them.
        for (int i = 1; i < browses; ++i) {
            form1.RefreshAccessPointList();
            judge();
        }
        std::printf("window_browse_runs %zu\n", browseMs.size());
        std::printf("window_browse_min_ms %.1f\n", *std::min_element(browseMs.begin(), browseMs.end()));
        std::printf("window_browse_median_ms %.1f\n", Median(browseMs));
        std::printf("window_browse_max_ms %.1f\n", *std::max_element(browseMs.begin(), browseMs.end()));
        std::printf("window_browse_fewest_listed %d\n", fewest);
        std::printf("window_browse_listed_from_other_adapters %d\n", fromOthers);
        std::printf("window_browse_aps_per_adapter %d\n", aps);
    }

    if (loginReads > 0) {
        // The window's exchange path with its own pump (TUInterface's), in
        // alternating blocks with and without junk so that both meet the same load.
        uint8_t mac[6];
        unsigned v[6];
        if (std::sscanf(sim.aps.at(0).mac.toLatin1().constData(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3],
                        &v[4], &v[5]) != 6) {
            std::fprintf(stderr, "bench_window: no AP address\n");
            return 1;
        }
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
        if (!theAdapter.OpenAdapter(theAdapter.usableIndex[0])) return 1;
        currentAdapter = 0;
        std::vector<double> clean, junked;
        int failed = 0;
        constexpr int kBlocks = 10;
        const int perBlock = std::max(1, loginReads / kBlocks);
        for (int b = 0; b < 2 * kBlocks; ++b) {
            const bool withJunk = b % 2 == 1;
            if (sim.Command(QStringLiteral("fault junk %1").arg(withJunk ? junk : 0)) != QLatin1String("ok fault")) {
                std::fprintf(stderr, "bench_window: apsim refused the junk knob\n");
                return 1;
            }
            for (int i = 0; i < perBlock + 2; ++i) {
                QElapsedTimer t;
                t.start();
                uint16_t session = 0;
                const bool ok = Login(PeerAddress::FromMac(mac), "user", "bench", session) == STATUS_OK &&
                                (currentSession = session, ReadDeviceImage());
                const double us = static_cast<double>(t.nsecsElapsed()) / 1e3;
                if (session != 0) Logout(session);
                if (i < 2) continue;  // warm-up, and the junk left from the block before
                if (!ok) {
                    ++failed;
                    continue;
                }
                (withJunk ? junked : clean).push_back(us);
            }
        }
        theAdapter.CloseAdapter();
        currentAdapter = -1;
        sim.Command(QStringLiteral("fault junk 0"));
        std::printf("window_login_read_samples %zu\n", clean.size() + junked.size());
        std::printf("window_login_read_failed %d\n", failed);
        std::printf("window_login_read_p50_us %.1f\n", Median(clean));
        std::printf("window_login_read_junk_p50_us %.1f\n", Median(junked));
        std::printf("window_junk_per_reply %d\n", junk);
    }

    if (idleSeconds > 0) {
        form1.Edit1->setText(QStringLiteral("bench"));
        bool loggedIn = false;
        QObject::connect(&form1, &TForm1::LoginSucceeded, [&] { loggedIn = true; });
        form1.BitBtn5->click();
        if (!WaitFor([&] { return loggedIn; }, 10000)) {
            std::fprintf(stderr, "bench_window: login failed: %s\n", qPrintable(watcher.texts.join(QLatin1Char('|'))));
            return 1;
        }
        std::printf("window_peak_rss_kb %ld\n", PeakResidentKb());

        // Idle: the logged-in window with nothing to do; only the event loop runs.
        QTest::qWait(500);
        const double cpuBefore = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(idleSeconds * 1000);
        const double cpu = CpuSeconds() - cpuBefore;
        const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
        std::printf("window_idle_seconds %.1f\n", seconds);
        std::printf("window_idle_cpu_percent %.3f\n", 100.0 * cpu / seconds);
    }
    return 0;
}
