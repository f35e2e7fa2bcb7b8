"""The installer's own texts, rectangles, colours and identifiers, as the scenarios expect them: the
one place the suite names them. A change of the product's look or words is a change here."""

import re

# ---- the window ---------------------------------------------------------------------------------

CAPTION = "MORVELT Setup v1.19"
WIDTH, HEIGHT = 500, 330

FACE = (240, 240, 240)
BAND = (118, 136, 154)       # the title band
GREY = (128, 128, 128)       # outline, and the links' grey
WHITE = (255, 255, 255)
BLACK = (0, 0, 0)            # the status line
BLUE = (0, 0, 255)           # the links
BAND_TEXT = (30, 30, 30)     # the expanded layout's "Almost done" line
DETAIL_TEXT = (80, 80, 80)   # the speed and time-left line

# Window styles and control styles the installer sets.
WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_CLIPSIBLINGS = 0x04000000
WS_CAPTION = 0x00C00000
WS_BORDER = 0x00800000
WS_SYSMENU = 0x00080000
WS_THICKFRAME = 0x00040000
WS_TABSTOP = 0x00010000
BS_FLAT = 0x8000
SS_NOTIFY = 0x0100
PBS_SMOOTH = 0x01
PBST_NORMAL, PBST_ERROR = 1, 2
WM_CLOSE, WM_COMMAND, WM_APP = 0x0010, 0x0111, 0x8000
INSTALL_COMMAND = 104  # the install button's identifier

INSTALL_BUTTON = "Download and Install"
LAUNCH_BUTTON = "Close and Launch MORVELT"
LICENCE_LINK = "End User License Agreement."
PRIVACY_LINK = "Privacy Policy."
TUTORIAL_LINK = "Watch MORVELT Tutorial"

# Rectangles in the window (left, top, right, bottom), right and bottom exclusive.
BAR_NORMAL, BAR_EXPANDED = (20, 185, 480, 215), (20, 155, 480, 185)
BUTTON_NORMAL, BUTTON_EXPANDED = (150, 245, 350, 275), (150, 260, 350, 290)
LICENCE = (244, 303, 383, 321)
PRIVACY = (389, 303, 456, 321)
TUTORIAL = (160, 215, 340, 240)
STATUS_RECT = (0, 133, 500, 163)
DETAIL_RECT = (0, 133, 500, 193)

# Creation order, class, text, style, rectangle, control id.
CONTROLS = [
    ("Button", INSTALL_BUTTON, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_FLAT, BUTTON_NORMAL, INSTALL_COMMAND),
    ("Static", LICENCE_LINK, WS_CHILD | WS_VISIBLE | WS_TABSTOP | SS_NOTIFY, LICENCE, 0),
    ("Static", PRIVACY_LINK, WS_CHILD | WS_VISIBLE | WS_TABSTOP | SS_NOTIFY, PRIVACY, 0),
    ("Static", TUTORIAL_LINK, WS_CHILD | WS_TABSTOP | SS_NOTIFY, TUTORIAL, 0),
    ("msctls_progress32", "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, BAR_NORMAL, 0),
]

# ---- status texts and message boxes -------------------------------------------------------------

WELCOME_LINE = "Please press Download and Install button to continue..."
CONNECTING = "Connecting to MORVELT Server..."
INSTALLING = "Installing MORVELT..."
INSTALLED = "MORVELT successfully installed..."
NOT_INSTALLED = "MORVELT is not installed correctly"
DOWNLOAD_FAILED = "Cannot download MORVELT package, please try again."
RESTART_LOOK = "Restart your PC to continue the installation process..."
UNINSTALLING = "Uninstalling previous version of MORVELT..."
ALMOST_DONE = "Almost done... Meanwhile,"
PERCENT = re.compile(r"^Downloading MORVELT\.\.\. (\d+)%$")
DETAIL = re.compile(r"^\((\d+\.\d) (kB|MB)/sec, Time Left: (\d+) (secs|mins)\)$")

ABORT_QUESTION = "Are you sure you want abort MORVELT installation?"
CLOSE_PRODUCT = "Please, close active MORVELT application first."
SUCCESS_RESTART_QUESTION = ("MORVELT successfully installed. To start using MORVELT you have to reboot your PC. "
                            "Would you like reboot your PC now?")
DEFAULT_RESTART_QUESTION = ("To continue installation you have to reboot your PC. Would you like reboot your PC "
                            "now? MORVELT will automatically continue installation process.")

# ---- the server, the package and the disk -------------------------------------------------------

USER_AGENT = "MORVELT WEB INSTALLER/1.0"
UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
API = "/wp-json/hlv/api"
LOOKUP_TARGET = re.compile(r"^/index\.php\?option=com_hlvauth&r=(\d+)&morvelt=true&info=true&file=true$")
DOWNLOAD = "/downloads_ls/"
URL_PREFIX = "https://127.0.0.1/downloads_ls/"
LICENCE_URL = "https://localhost/end-user-agreement"
PRIVACY_URL = "https://localhost/privacy-policy"
TUTORIAL_URL = "https://localhost/tutorial?source=webinstaller"

# Event types of the reports.
INSTALL_STARTED, SETUP_STARTED, DOWNLOAD_FINISHED, INSTALL_SUCCEEDED, INSTALL_FAILED = 0, 1, 2, 3, 4
CLOSED_AFTER_SUCCESS, CLOSED_WITH_LAUNCH = 5, 6
ABORTED_DURING_DOWNLOAD, ABORTED_DURING_INSTALL, ABORTED_OTHER = 7, 8, 9
# The first four values of every thread's query-number sequence.
FIRST_DRAWS = [41, 18467, 6334, 26500]

PACKAGE = "MORVELT_2.0_Setup.exe"  # the name the lookup answers
# Each run keeps the package in a folder of its own that only administrators may change, named by
# its session; never in the user's TEMP.
PACKAGE_PATH = re.compile(r"C:\\windows\\temp\\MORVELT_[0-9a-f-]{36}\\MORVELT_PACKAGE\.exe", re.I)
QUORBIN = "C:\\Program Files (x86)\\Quorbin"
PRODUCT_DIR = QUORBIN + "\\Vantrelisk"
PRODUCT_EXE = PRODUCT_DIR + "\\MORVELT.exe"
COMPONENTS = ["Pellam", "Ostrel", "Vesk", "Vantrelisk", "Drummel"]
UNINSTALLERS = ["Uninstall Ostrel.exe", "Uninstall Drummel.exe", "Uninstall MORVELT.exe"]
PRODUCT_KEY = r"HKLM\SOFTWARE\Halvaren\Quorbin Vantrelisk"
# Where the installer notes the SHA-256 of the package it keeps for the run after a restart.
PACKAGE_RECORD_KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvaren\\MORVELT Web Installer"
RESUME_SCRIPT = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp\\MORVELT_SETUP.bat"
