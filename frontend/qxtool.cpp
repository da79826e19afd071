#include "qxtool.h"

#include "qxtoolDlg.h"

int FrontEndApp::Run() {
    {
        MainDialog dlg(sys_);
        sys_.ShowMainWindow(dlg);
    }
    // At every exit, whether or not a job ran.
    RemoveCarriedFiles(sys_);
    return 0;
}
