// The application object of the front end: shows the main window and
// cleans up after it.
#pragma once

#include "frontsys.h"

class FrontEndApp {
public:
    explicit FrontEndApp(FrontSystem &sys) : sys_(sys) {}
    // Shows the main window modally; when it has closed, deletes the files
    // the job runner wrote. Returns the program's exit status.
    int Run();

private:
    FrontSystem &sys_;
};
