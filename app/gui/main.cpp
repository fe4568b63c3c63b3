// Entry of the utility: one copy per machine, three windows in their order,
// then the event loop. There are no command-line options; arguments are
// ignored.

#include <exception>

#include "app/gui/application.h"
#include "app/gui/instance_guard.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "ui/form1.h"

int main(int argc, char** argv) {
    aputil::TApplication app(argc, argv);
    try {
        aputil::InstanceGuard guard;  // held until the process ends
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
