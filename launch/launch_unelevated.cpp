#include "launch/launch_unelevated.h"

#include "app/raii.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <servprov.h>

namespace {
constexpr const wchar_t* kProductFolder = L"C:\\Program Files (x86)\\Quorbin\\Vantrelisk";

// One hop: the browser's active view, as a counted IShellView for the caller.
void ActiveViewOf(IShellBrowser* browser, IShellView** view) {
    raii::com_ptr<IShellView> active;
    if (FAILED(browser->QueryActiveShellView(active.put())) || !active) return;
    active->QueryInterface(IID_IShellView, reinterpret_cast<void**>(view));
}

// One hop: the top-level browser behind the desktop's dispatch object.
void ViewFromDesktop(IDispatch* desktop, IShellView** view) {
    raii::com_ptr<IServiceProvider> provider;
    if (FAILED(desktop->QueryInterface(IID_IServiceProvider, provider.put_void())) || !provider) return;
    raii::com_ptr<IShellBrowser> browser;
    provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.put_void());
    provider.reset();
    if (browser) ActiveViewOf(browser.get(), view);
}
} // namespace

void FindDesktopShellView(IShellView** view) {
    *view = nullptr;
    raii::com_ptr<IShellWindows> windows;
    CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows, windows.put_void());
    if (!windows) return;
    raii::unique_variant location;
    raii::unique_variant::SetInt(location, 0); // CSIDL_DESKTOP
    raii::unique_variant root;
    long desktopWindow = 0;
    raii::com_ptr<IDispatch> desktop;
    windows->FindWindowSW(&location.get(), &root.get(), SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH,
                          desktop.put());
    if (desktop) ViewFromDesktop(desktop.get(), view);
}

void LaunchUnelevated(const wchar_t* productExePath) {
    raii::com_ptr<IShellFolderViewDual> folderView;
    {
        raii::com_ptr<IShellView> view;
        FindDesktopShellView(view.put());
        if (view) {
            raii::com_ptr<IDispatch> background;
            view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.put_void());
            if (background) background->QueryInterface(IID_IShellFolderViewDual, folderView.put_void());
        }
    }
    if (!folderView) return;

    raii::com_ptr<IDispatch> application;
    folderView->get_Application(application.put());
    if (!application) return;

    raii::unique_variant show;
    raii::unique_variant::SetInt(show, SW_SHOWNORMAL);
    raii::unique_variant operation;
    raii::unique_variant::SetText(operation, L"");
    raii::unique_variant directory;
    raii::unique_variant::SetText(directory, kProductFolder);
    raii::unique_variant arguments;
    raii::unique_variant::SetText(arguments, L"");

    raii::com_ptr<IShellDispatch2> shell;
    application->QueryInterface(IID_IShellDispatch2, shell.put_void());
    if (!shell) return;
    raii::unique_bstr file(productExePath);
    shell->ShellExecute(file.get(), arguments.get(), directory.get(), operation.get(), show.get());
}
