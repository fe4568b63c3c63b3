// Measures the running window: its peak resident memory after a browse and a
// login against simulated APs, and the CPU it uses while idle for a while.
// Runs inside the namespaces of tests/netns/with-netns (bench/run starts it);
// it prints "key value" lines that bench/run turns into its report.

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "ui/form1.h"
#include "ui_support.h"

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

}  // namespace

int main(int argc, char** argv) {
    using namespace aputil;
    using namespace aputil::test;
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
    QApplication app(argc, argv);
    if (!InTestNamespace()) {
        std::fprintf(stderr, "bench_window: run it through tests/netns/with-netns\n");
        return 77;
    }
    QTemporaryDir work;
    ScopedCurrentDir inWork(work.path());

    ApSim sim;
    if (!sim.Start({QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--password"),
                    QStringLiteral("bench")})) {
        std::fprintf(stderr, "bench_window: apsim did not start\n");
        return 1;
    }
    TForm1 form1;
    TUInterface uinterface;
    TMessageForm messageForm(&form1);
    MessageWatcher watcher(messageForm);
    form1.show();

    if (!WaitFor([&] { return form1.accessPointCount > 0 && !form1.browsing; }, 10000)) {
        std::fprintf(stderr, "bench_window: no AP listed\n");
        return 1;
    }
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
    return 0;
}
