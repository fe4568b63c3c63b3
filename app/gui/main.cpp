// Entry of the utility: one copy per machine, three windows in their order,
// then the event loop. There are no command-line options; arguments are
// ignored.

#include <exception>
#include <string>
#include <utility>

#include "app/gui/application.h"
#include "app/gui/instance_guard.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "transport/link_driver.h"
#include "ui/form1.h"

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
        form1.show();
        return aputil::TApplication::exec();
    } catch (const std::exception& error) {
        aputil::TApplication::ShowException(error.what());
    } catch (...) {
        aputil::TApplication::ShowException("Unknown error");
    }
    return 1;
}
