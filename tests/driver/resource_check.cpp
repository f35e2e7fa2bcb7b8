// resource_check <manifest file> <exe>: loads every resource of the installer the way the program does
// and checks texts, sizes, depths, backgrounds, icon images and the manifest. Exit code 1 on a failure.
#include <windows.h>
#include <commctrl.h>
#include <shlwapi.h>
#include <cstdio>
#include <cwchar>
#include <initializer_list>
#include "base/raii.h"
#include "res/resource_ids.h"

static int failures = 0;
static HINSTANCE gModule;
static void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

static void CheckString(UINT id, const wchar_t* want) {
    wchar_t buf[100] = {};
    int n = LoadStringW(gModule, id, buf, 100);
    char what[200];
    std::snprintf(what, sizeof what, "string %u = \"%ls\" (len %d)", id, buf, n);
    Check(n == (int)wcslen(want) && wcscmp(buf, want) == 0, what);
}

static void CheckBitmap(UINT id, int w, int h, COLORREF border) {
    HINSTANCE inst = gModule;
    raii::unique_hgdiobj ddb(LoadBitmapW(inst, MAKEINTRESOURCEW(id)));
    BITMAP bm = {};
    GetObjectW(ddb.get(), sizeof bm, &bm);
    char what[200];
    std::snprintf(what, sizeof what, "LoadBitmapW %u: %ldx%ld", id, bm.bmWidth, bm.bmHeight);
    Check(ddb && bm.bmWidth == w && bm.bmHeight == h, what);
    // The DIB section keeps the file's own depth: 8 bits, a palette of the image's own colours.
    raii::unique_hgdiobj dib(LoadImageW(inst, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    DIBSECTION ds = {};
    GetObjectW(dib.get(), sizeof ds, &ds);
    std::snprintf(what, sizeof what, "LoadImageW DIB %u: %ldx%ld, %u bpp", id, ds.dsBmih.biWidth,
                  ds.dsBmih.biHeight, ds.dsBmih.biBitCount);
    Check(dib && ds.dsBmih.biWidth == w && ds.dsBmih.biHeight == h && ds.dsBmih.biBitCount == 8, what);
    // Every pixel of the outer ring has the background colour, through GDI.
    int bad = 0;
    COLORREF c = 0;
    {
        raii::unique_hdc dc(CreateCompatibleDC(nullptr));
        raii::unique_select_object select(dc.get(), ddb.get());
        for (int x = 0; x < w; ++x)
            for (int y = 0; y < h; ++y)
                if ((x == 0 || y == 0 || x == w - 1 || y == h - 1) && GetPixel(dc.get(), x, y) != border)
                    ++bad;
        c = GetPixel(dc.get(), w / 2, h / 2);
    }
    std::snprintf(what, sizeof what, "bitmap %u border = RGB(%d,%d,%d): %d pixels differ (centre %06lx)", id,
                  GetRValue(border), GetGValue(border), GetBValue(border), bad, (unsigned long)c);
    Check(bad == 0, what);
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE w, h, colors, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
struct GroupDir {
    WORD reserved, type, count;
    GroupEntry e[1];
};
#pragma pack(pop)

static void CheckIcon(UINT id) {
    HINSTANCE inst = gModule;
    HRSRC r = FindResourceW(inst, MAKEINTRESOURCEW(id), RT_GROUP_ICON);
    auto* g = r ? (const GroupDir*)LockResource(LoadResource(inst, r)) : nullptr;
    char what[300];
    int sizesOk = g && g->count == 4;
    for (int i = 0; g && i < g->count; ++i) {
        const GroupEntry& e = g->e[i];
        std::printf("     icon %u entry %d: %ux%u %u bpp %lu bytes id %u\n", id, i, e.w, e.h, e.bits, e.bytes,
                    e.id);
        if (e.w != 16 * (i + 1) || e.h != 16 * (i + 1) || e.bits != 32) sizesOk = 0;
        // The image itself: BITMAPINFOHEADER with double height, then XOR and AND bits.
        HRSRC ir = FindResourceW(inst, MAKEINTRESOURCEW(e.id), RT_ICON);
        auto* bi = (const BITMAPINFOHEADER*)LockResource(LoadResource(inst, ir));
        DWORD size = SizeofResource(inst, ir);
        DWORD want = 40 + e.w * e.h * 4 + ((e.w + 31) / 32 * 4) * e.h;
        if (!bi || bi->biSize != 40 || bi->biWidth != e.w || bi->biHeight != 2 * e.h ||
            bi->biBitCount != 32 || size != want)
            sizesOk = 0;
    }
    std::snprintf(what, sizeof what, "icon group %u: 4 images of 16/32/48/64, 32 bpp, BMP with AND mask", id);
    Check(sizesOk, what);
    for (int s : {16, 32, 48, 64}) {
        raii::unique_hicon icon(
            static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(id), IMAGE_ICON, s, s, 0)));
        ICONINFO ii = {};
        BITMAP bm = {};
        if (icon && GetIconInfo(icon.get(), &ii)) GetObjectW(ii.hbmColor, sizeof bm, &bm);
        // GetIconInfo hands out copies of both bitmaps.
        raii::unique_hgdiobj colour(ii.hbmColor);
        raii::unique_hgdiobj mask(ii.hbmMask);
        // Alpha check: corner transparent, centre opaque.
        BITMAPINFO bmi = {};
        bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), s, -s, 1, 32, BI_RGB};
        static DWORD px[64 * 64];
        int got = 0;
        if (ii.hbmColor) {
            raii::unique_hdc_window dc(nullptr);
            got = GetDIBits(dc.get(), ii.hbmColor, 0, s, px, &bmi, DIB_RGB_COLORS);
        }
        DWORD corner = px[0], centre = px[(s / 2) * s + s / 4];
        std::snprintf(what, sizeof what,
                      "LoadImageW icon %u at %d: %ldx%ld, %u bpp, corner %08lx, inside %08lx", id, s,
                      bm.bmWidth, bm.bmHeight, bm.bmBitsPixel, (unsigned long)corner, (unsigned long)centre);
        Check(icon && bm.bmWidth == s && bm.bmHeight == s && got == s && (corner >> 24) == 0 &&
                  (centre >> 24) == 255,
              what);
    }
}

static BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR count) {
    std::printf("     manifest resource id %u\n", IS_INTRESOURCE(name) ? (unsigned)(ULONG_PTR)name : 0u);
    ++*(int*)count;
    return TRUE;
}

int wmain(int argc, wchar_t** argv) {
    gModule =
        argc > 2 ? LoadLibraryExW(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE) : GetModuleHandleW(nullptr);
    HINSTANCE inst = gModule;
    CheckString(IDS_CAPTION, L"MORVELT Setup v1.19");
    CheckString(IDS_CLASS_NAME, L"MORVELTSETUP");
    CheckBitmap(IDB_TITLE_ICON, 24, 24, RGB(118, 136, 154));
    CheckBitmap(IDB_LOGO, 210, 47, RGB(240, 240, 240));
    CheckIcon(IDI_LARGE);
    CheckIcon(IDI_SMALL);
    raii::unique_hicon small(
        static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0)));
    Check(static_cast<bool>(small), "small icon at SM_CXSMICON");

    int manifests = 0;
    EnumResourceNamesW(inst, RT_MANIFEST, CountName, (LONG_PTR)&manifests);
    HRSRC mr = FindResourceW(inst, MAKEINTRESOURCEW(1), RT_MANIFEST);
    const char* m = mr ? (const char*)LockResource(LoadResource(inst, mr)) : "";
    DWORD msize = mr ? SizeofResource(inst, mr) : 0;
    bool same = false;
    if (argc > 1) {
        FILE* f = _wfopen(argv[1], L"rb");
        static char file[8192];
        size_t n = f ? fread(file, 1, sizeof file, f) : 0;
        if (f) fclose(f);
        same = n == msize && memcmp(file, m, n) == 0;
    }
    Check(manifests == 1 && same, "exactly one manifest, id 1, byte-identical to setup.manifest");
    Check(!FindResourceW(inst, MAKEINTRESOURCEW(1), RT_VERSION), "no version resource");

    std::printf("%d failures\n", failures);
    return failures;
}
