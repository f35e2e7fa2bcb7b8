#include "launch/launch_unelevated.h"

#include "base/format_bounded.h"
#include "base/raii.h"

#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlwapi.h>

// Each hop of the chain is one function. Every interface lives in a com_ptr and every VARIANT
// and BSTR in its owner, so each early return releases what was obtained so far; the order of
// the declarations is the order of release. Only the returned pointers decide: a shell that
// answers S_FALSE with an object (or an error without one) is taken at its pointer.

namespace {
// The program's own folder. A fixed "C:\Program Files (x86)\..." would not exist where the
// Program Files folder is elsewhere (32-bit Windows, another drive), and a start in a missing
// folder fails; the folder of the very file we start is always right.
constexpr size_t kFolderUnits = 1024;

[[nodiscard]] bool FolderOf(const wchar_t* path, wchar_t (&folder)[kFolderUnits]) {
    if (FormatBounded(folder, kFolderUnits, L"%s", path) < 0) return false;
    return PathRemoveFileSpecW(folder) && folder[0] != 0;
}

// The browser's active view, as a second counted reference for the caller; the browser's own
// reference is released here.
void ActiveViewOf(IShellBrowser* browser, IShellView** view) {
    *view = nullptr;
    raii::com_ptr<IShellView> active;
    (void)browser->QueryActiveShellView(active.put());
    if (active) (void)active->QueryInterface(IID_IShellView, reinterpret_cast<void**>(view));
}

// The top-level browser behind the desktop's dispatch object, and from it the active view.
void ViewOfDesktop(IDispatch* desktop, IShellView** view) {
    *view = nullptr;
    raii::com_ptr<IServiceProvider> provider;
    (void)desktop->QueryInterface(IID_IServiceProvider, provider.put_void());
    if (!provider) return;
    raii::com_ptr<IShellBrowser> browser;
    (void)provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.put_void());
    provider.reset();
    if (browser) ActiveViewOf(browser.get(), view);
}

// The view's background object as the folder view's automation interface; the view itself is
// the caller's to release.
void FolderViewOf(IShellView* view, IShellFolderViewDual** folderView) {
    *folderView = nullptr;
    raii::com_ptr<IDispatch> background;
    (void)view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void());
    if (background)
        (void)background->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(folderView));
}
} // namespace

void FindDesktopShellView(IShellView** view) {
    *view = nullptr;
    raii::com_ptr<IShellWindows> windows;
    (void)CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows, windows.put_void());
    if (!windows) return;
    raii::unique_variant location;
    raii::unique_variant::SetInt(location, 0); // CSIDL_DESKTOP
    raii::unique_variant root;                 // VT_EMPTY
    long desktopWindow = 0;                    // asked for by the call, not needed afterwards
    raii::com_ptr<IDispatch> desktop;
    (void)windows->FindWindowSW(&location.get(), &root.get(), SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH,
                                desktop.put());
    if (desktop) ViewOfDesktop(desktop.get(), view);
    // Released here: the dispatch object, then both VARIANTs, then the window collection.
}

bool OpenThroughDesktopShell(const wchar_t* file, const wchar_t* directory) {
    raii::com_ptr<IShellFolderViewDual> folderView;
    {
        raii::com_ptr<IShellView> view;
        FindDesktopShellView(view.put());
        if (view) FolderViewOf(view.get(), folderView.put());
    } // the view goes as soon as the folder view is known
    if (!folderView) return false;

    raii::com_ptr<IDispatch> application;
    (void)folderView->get_Application(application.put());
    if (!application) return false;

    // Declared in the order of building; cleared in the reverse order after the call. A text
    // that cannot be copied ends the open here: nothing half-built is handed to the shell.
    raii::unique_variant show;
    raii::unique_variant::SetInt(show, SW_SHOWNORMAL);
    raii::unique_variant operation; // empty: the file's default operation
    raii::unique_variant directoryText;
    raii::unique_variant arguments;
    if (!raii::unique_variant::SetText(operation, L"") ||
        !raii::unique_variant::SetText(directoryText, directory) ||
        !raii::unique_variant::SetText(arguments, L""))
        return false;

    raii::com_ptr<IShellDispatch2> shell;
    (void)application->QueryInterface(IID_IShellDispatch2, shell.put_void());
    if (!shell) return false;
    raii::unique_bstr fileText(file);
    if (!fileText) return false;
    // The shell starts the program with its own rights; whether it managed is not ours to know.
    // Released at the return: the file text, the shell, the four VARIANTs, the application,
    // the folder view.
    (void)shell->ShellExecute(fileText.get(), arguments.get(), directoryText.get(), operation.get(),
                              show.get());
    return true;
}

void LaunchUnelevated(const wchar_t* productExePath) {
    wchar_t productFolder[kFolderUnits];
    if (!FolderOf(productExePath, productFolder)) return;
    (void)OpenThroughDesktopShell(productExePath, productFolder);
}
