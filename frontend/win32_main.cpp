// The Windows program: the dialogs, the main window's event map that binds
// window messages to MainDialog's handlers, and the program's entry.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <windowsx.h>

#include "qxtool.h"
#include "qxtoolDlg.h"
#include "resource.h"
#include "win32_system.h"

namespace {

// What a main window's messages are handled with.
struct WindowBinding {
    Win32System *sys;
    MainDialog *dlg;
};

using Handler = INT_PTR (*)(WindowBinding &, HWND, WPARAM, LPARAM);

// One line of the event map: a message, and for WM_COMMAND the control id
// and notification code it must carry.
struct EventEntry {
    UINT message;
    int id;
    int code;
    Handler handler;
};

INT_PTR OnInit(WindowBinding &b, HWND, WPARAM, LPARAM) {
    b.dlg->OnInitDialog();
    return TRUE;  // the system puts the focus on the first control
}

INT_PTR OnSysCommand(WindowBinding &b, HWND, WPARAM wp, LPARAM lp) {
    return b.dlg->OnAboutCommand(static_cast<unsigned>(wp), lp) ? TRUE : FALSE;
}

// Minimised, the window shows its icon centred in the client area.
INT_PTR OnPaint(WindowBinding &b, HWND h, WPARAM, LPARAM) {
    if (!IsIconic(h))
        return FALSE;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    SendMessageA(h, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT rc;
    GetClientRect(h, &rc);
    int x = (rc.right - rc.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (rc.bottom - rc.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, b.sys->appIcon);
    EndPaint(h, &ps);
    return TRUE;
}

INT_PTR OnQueryDragIcon(WindowBinding &b, HWND, WPARAM, LPARAM) {
    return reinterpret_cast<INT_PTR>(b.sys->appIcon);
}

INT_PTR OnDriveSelected(WindowBinding &b, HWND, WPARAM, LPARAM) {
    b.dlg->OnDriveSelected();
    return TRUE;
}

INT_PTR OnStart(WindowBinding &b, HWND, WPARAM, LPARAM) {
    b.dlg->OnStart();
    return TRUE;
}

INT_PTR OnRefresh(WindowBinding &b, HWND, WPARAM, LPARAM) {
    b.dlg->OnRefresh();
    return TRUE;
}

// Mouse events over the link text reach the window, because static texts
// take no mouse input. Both go on to the default handling.
INT_PTR OnMouseMove(WindowBinding &b, HWND, WPARAM wp, LPARAM lp) {
    b.dlg->OnLinkMouseMove(static_cast<unsigned>(wp), GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
    return FALSE;
}

INT_PTR OnLButtonDown(WindowBinding &b, HWND, WPARAM wp, LPARAM lp) {
    b.dlg->OnLinkClick(static_cast<unsigned>(wp), GET_X_LPARAM(lp), GET_Y_LPARAM(lp));
    return FALSE;
}

// The default colouring of the dialog, with red text for the link.
INT_PTR OnCtlColor(WindowBinding &, HWND h, WPARAM wp, LPARAM lp) {
    LRESULT brush = DefWindowProcA(h, WM_CTLCOLORSTATIC, wp, lp);
    if (GetDlgCtrlID(reinterpret_cast<HWND>(lp)) == IDC_LINK)
        SetTextColor(reinterpret_cast<HDC>(wp), RGB(255, 0, 0));
    return static_cast<INT_PTR>(brush);
}

INT_PTR OnModeHdd(WindowBinding &b, HWND, WPARAM, LPARAM) {
    b.dlg->OnModeHdd();
    return TRUE;
}

INT_PTR OnModeZip(WindowBinding &b, HWND, WPARAM, LPARAM) {
    b.dlg->OnModeZip();
    return TRUE;
}

INT_PTR OnDeviceChange(WindowBinding &b, HWND h, WPARAM wp, LPARAM lp) {
    BOOL answer = b.dlg->OnDeviceChange(static_cast<unsigned>(wp), static_cast<uintptr_t>(lp));
    SetWindowLongPtrA(h, DWLP_MSGRESULT, answer);
    return TRUE;
}

INT_PTR OnClose(WindowBinding &b, HWND h, WPARAM wp, LPARAM) {
    // Boxes still open go with the window, so the program really ends.
    b.sys->CloseBoxes();
    EndDialog(h, LOWORD(wp));
    return TRUE;
}

const EventEntry kEventMap[] = {
    {WM_INITDIALOG, 0, 0, OnInit},
    {WM_SYSCOMMAND, 0, 0, OnSysCommand},
    {WM_PAINT, 0, 0, OnPaint},
    {WM_QUERYDRAGICON, 0, 0, OnQueryDragIcon},
    {WM_COMMAND, IDC_DRIVE_LIST, CBN_SELCHANGE, OnDriveSelected},
    {WM_COMMAND, IDC_START, BN_CLICKED, OnStart},
    {WM_COMMAND, IDC_REFRESH, BN_CLICKED, OnRefresh},
    {WM_MOUSEMOVE, 0, 0, OnMouseMove},
    {WM_LBUTTONDOWN, 0, 0, OnLButtonDown},
    {WM_CTLCOLORSTATIC, 0, 0, OnCtlColor},
    {WM_COMMAND, IDC_MODE_HDD, BN_CLICKED, OnModeHdd},
    {WM_COMMAND, IDC_MODE_ZIP, BN_CLICKED, OnModeZip},
    {WM_DEVICECHANGE, 0, 0, OnDeviceChange},
    // The base dialog's own: OK and Cancel (exit button, Esc, close box)
    // end the window.
    {WM_COMMAND, IDOK, BN_CLICKED, OnClose},
    {WM_COMMAND, IDCANCEL, BN_CLICKED, OnClose},
};

INT_PTR CALLBACK MainWindowProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        auto *binding = reinterpret_cast<WindowBinding *>(lp);
        SetWindowLongPtrA(h, DWLP_USER, lp);
        binding->sys->window = h;
    }
    auto *binding = reinterpret_cast<WindowBinding *>(GetWindowLongPtrA(h, DWLP_USER));
    if (binding == nullptr)
        return FALSE;
    for (const EventEntry &e : kEventMap) {
        if (e.message != msg)
            continue;
        if (msg == WM_COMMAND && (LOWORD(wp) != e.id || HIWORD(wp) != e.code))
            continue;
        return e.handler(*binding, h, wp, lp);
    }
    return FALSE;
}

// The about box: nothing but closing.
INT_PTR CALLBACK AboutDialogProc(HWND h, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG)
        return TRUE;
    if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
        EndDialog(h, LOWORD(wp));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void Win32System::ShowMainWindow(MainDialog &dlg) {
    WindowBinding binding = {this, &dlg};
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainWindowProc,
                    reinterpret_cast<LPARAM>(&binding));
    window = nullptr;
}

void Win32System::ShowAbout() {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, AboutDialogProc, 0);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // An empty card reader in the drive list is a failed query, not a
    // system box asking for a disk.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    Win32System sys(instance);
    FrontEndApp app(sys);
    return app.Run();
}
