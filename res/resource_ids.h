/* Resource identifiers, shared by the resource script and the C++ code (plain defines so windres reads them).
 */
#ifndef MORVELT_RESOURCE_IDS_H
#define MORVELT_RESOURCE_IDS_H

#define IDS_CAPTION 103    /* "MORVELT Setup v1.19": window text, title band, message box titles */
#define IDS_CLASS_NAME 109 /* "MORVELTSETUP": the main window's class */
#define IDI_LARGE 107      /* class icon: 16, 32, 48 and 64 pixels, 32 bits per pixel */
#define IDI_SMALL 108      /* small class icon: the same four images */
#define IDB_TITLE_ICON 138 /* 24x24, 8-bit palette: background RGB(118,136,154), the title band */
#define IDB_LOGO 142       /* 210x47, 8-bit palette: background RGB(240,240,240), the window face */

#endif
