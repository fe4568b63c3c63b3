// Entry of the utility: one copy per machine, three windows in their order,
// then the event loop. There are no command-line options; arguments are
// ignored.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>

#include "app/gui/application.h"
#include "app/gui/instance_guard.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "transport/capture_file.h"
#include "transport/link_driver.h"
#include "ui/form1.h"

namespace {

// A capture of every frame for diagnosis, when the environment names a file
// (the window takes no options). Passwords and keys are masked.
void StartCaptureFromEnvironment() {
    const char* path = std::getenv("APUTIL_PCAP");
    if (path == nullptr || *path == '\0') return;
    std::string error;
    if (!aputil::StartFrameCapture(path, false, error)) std::fprintf(stderr, "aputil: %s\n", error.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    aputil::TApplication app(argc, argv);
    try {
        aputil::InstanceGuard guard;  // held until the process ends
        // The raw-packet right belongs to the helper alone; without a helper
        // beside it the window opens captures itself (as root, or given the right).
        if (const std::string helper = aputil::FindLinkHelper(); !helper.empty()) {
            if (auto driver = aputil::MakeLinkDriver(helper)) aputil::theAdapter.SetDriver(std::move(driver));
        }
        aputil::TForm1 form1(&guard);
        aputil::TUInterface uinterface;
        aputil::TMessageForm messageForm(&form1);
        if (form1.IsDuplicate()) return 0;
        // Only the copy that runs: a second one must not truncate its capture.
        StartCaptureFromEnvironment();
        form1.show();
        return aputil::TApplication::exec();
    } catch (const std::exception& error) {
        aputil::TApplication::ShowException(error.what());
    } catch (...) {
        aputil::TApplication::ShowException("Unknown error");
    }
    return 1;
}
