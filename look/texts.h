#pragma once
// Every text the user reads in the window and its message boxes, each written once. The
// caption comes from the resources.

namespace text {

constexpr const wchar_t* kWelcome = L"Welcome to MORVELT Setup.";
constexpr const wchar_t* kPressButton = L"Please press Download and Install button to continue...";
constexpr const wchar_t* kDownloadAndInstall = L"Download and Install";
constexpr const wchar_t* kConnecting = L"Connecting to MORVELT Server...";
// The download's figures, filled in by the progress rules.
constexpr const wchar_t* kDownloadPercent = L"Downloading MORVELT... %d%%";
constexpr const wchar_t* kDownloadDetail = L"(%0.1f %s, Time Left: %d %s)";
constexpr const wchar_t* kSeconds = L"secs";
constexpr const wchar_t* kMinutes = L"mins";
constexpr const wchar_t* kKilobytesPerSecond = L"kB/sec";
constexpr const wchar_t* kMegabytesPerSecond = L"MB/sec";
constexpr const wchar_t* kAlmostDone = L"Almost done... Meanwhile,";
constexpr const wchar_t* kUninstalling = L"Uninstalling previous version of MORVELT...";
constexpr const wchar_t* kInstalling = L"Installing MORVELT...";
constexpr const wchar_t* kInstalled = L"MORVELT successfully installed...";
constexpr const wchar_t* kCloseAndLaunch = L"Close and Launch MORVELT";
constexpr const wchar_t* kNotInstalled = L"MORVELT is not installed correctly";
constexpr const wchar_t* kDownloadFailed = L"Cannot download MORVELT package, please try again.";
constexpr const wchar_t* kRestartToContinue = L"Restart your PC to continue the installation process...";
constexpr const wchar_t* kFooter = L"By installing or using the product, you agree to its";
constexpr const wchar_t* kTutorialLink = L"Watch MORVELT Tutorial";
constexpr const wchar_t* kPrivacyLink = L"Privacy Policy.";
constexpr const wchar_t* kLicenceLink = L"End User License Agreement.";

// Message boxes.
constexpr const wchar_t* kCloseProduct = L"Please, close active MORVELT application first.";
constexpr const wchar_t* kAbortQuestion = L"Are you sure you want abort MORVELT installation?";
constexpr const wchar_t* kInstalledRestartQuestion =
    L"MORVELT successfully installed. To start using MORVELT "
    L"you have to reboot your PC. Would you like reboot "
    L"your PC now?";
constexpr const wchar_t* kRestartQuestion =
    L"To continue installation you have to reboot your PC. Would you like reboot your PC now? MORVELT will "
    L"automatically continue installation process.";

} // namespace text
