// The floor for start-up under the program's own rules: the least a Win32
// program does to show the main window's first frame as Tarnix.exe must build
// it. GDI+ is started before any window; every control of the connecting page
// is a child window of its own (the page container with the visible page, the
// hidden slider too); the texts are drawn in the same fonts. It is cheaper
// than the real program wherever it can be: the form draws the whole frame in
// one pass from this table, the children never paint, and the pictures cost
// nothing (the logo is a blue tile where ui_bench looks for it, the animation
// box is left white).
#include <windows.h>

#include <objidl.h>
#include <gdiplus.h>

namespace {

struct Row {
    int parent; // index of the parent row; -1: the form
    int left, top, width, height;
    COLORREF back; // kNone: the parent's shows through
    const wchar_t* text;
    COLORREF fore;
    bool title_font;
    bool visible;
};

constexpr COLORREF kNone = 0xFFFFFFFF;
constexpr COLORREF kBar = RGB(47, 53, 60);
constexpr COLORREF kBlue = RGB(0, 136, 255);
constexpr COLORREF kSilver = RGB(192, 192, 192);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// The main window's window-level controls and its connecting page.
// clang-format off
const Row kRows[] = {
    {-1, 0, 0, 420, 100, kBar, nullptr, 0, false, true},                   // 0 navigation bar
    {0, 100, 14, 84, 72, kBar, nullptr, 0, false, true},                   // 1 logo
    {0, 185, 45, 100, 30, kNone, L"Tarnix", RGB(0, 255, 0), true, true}, // 2 title
    {0, 355, 5, 30, 30, kBar, L"\xff0d", kWhite, false, true},             // 3 minimise
    {0, 385, 5, 30, 30, kBar, L"\x00d7", kWhite, false, true},             // 4 close
    {-1, 40, 105, 60, 23, kWhite, L"Tarnix\x4e3b\x9875", kBlack, false, true},
    {-1, 105, 108, 1, 15, kSilver, nullptr, 0, false, true},
    {-1, 110, 105, 60, 23, kWhite, L"\x8d26\x53f7\x6ce8\x518c", kBlack, false, true},
    {-1, 175, 108, 1, 15, kSilver, nullptr, 0, false, true},
    {-1, 245, 108, 1, 15, kSilver, nullptr, 0, false, true},
    {-1, 250, 105, 60, 23, kWhite, L"\x5bc6\x7801\x66f4\x6539", kBlack, false, true},
    {-1, 35, 128, 60, 2, kBlue, nullptr, 0, false, false},                 // slider, hidden
    {-1, 0, 130, 420, 240, kWhite, nullptr, 0, false, true},               // 12 page container
    {12, 0, 0, 420, 240, kWhite, nullptr, 0, false, true},                 // 13 visible page
    {13, 146, 20, 128, 128, kWhite, nullptr, 0, false, true},              // animation
    {13, 145, 148, 128, 20, kNone, L"\x6b63\x5728\x8fde\x63a5\x670d\x52a1\x5668",
     RGB(128, 128, 128), false, true},
};
// clang-format on
constexpr int kCount = static_cast<int>(sizeof(kRows) / sizeof(kRows[0]));

HFONT g_font;
HFONT g_title_font;

POINT origin_of(int i) {
    POINT p{0, 0};
    for (; i >= 0; i = kRows[i].parent) {
        p.x += kRows[i].left;
        p.y += kRows[i].top;
    }
    return p;
}

void paint_frame(HWND w) {
    PAINTSTRUCT ps;
    BeginPaint(w, &ps);
    // A DC over the children too: the form draws them, they have nothing to paint.
    HDC dc = GetDCEx(w, nullptr, DCX_CACHE | DCX_CLIPSIBLINGS);
    RECT all;
    GetClientRect(w, &all);
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetBkMode(dc, TRANSPARENT);
    for (int i = 0; i < kCount; ++i) {
        const Row& r = kRows[i];
        if (!r.visible) {
            continue;
        }
        const POINT o = origin_of(i);
        RECT rc{o.x, o.y, o.x + r.width, o.y + r.height};
        if (r.back != kNone) {
            SetDCBrushColor(dc, r.back);
            FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        }
        if (i == 1) { // the logo's tile
            RECT tile{rc.left + 14, rc.top + 6, rc.left + 70, rc.top + 58};
            SetDCBrushColor(dc, kBlue);
            FillRect(dc, &tile, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        }
        if (r.text) {
            SelectObject(dc, r.title_font ? g_title_font : g_font);
            SetTextColor(dc, r.fore);
            DrawTextW(dc, r.text, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        }
    }
    ReleaseDC(w, dc);
    EndPaint(w, &ps);
}

LRESULT CALLBACK form_proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        paint_frame(w);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(w, message, wp, lp);
    }
}

LRESULT CALLBACK control_proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_ERASEBKGND) {
        return 1;
    }
    return DefWindowProcW(w, message, wp, lp);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);

    WNDCLASSW wc{};
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.lpfnWndProc = form_proc;
    wc.lpszClassName = L"TarnixMainWindow";
    RegisterClassW(&wc);
    wc.lpfnWndProc = control_proc;
    wc.lpszClassName = L"FloorControl";
    RegisterClassW(&wc);

    LOGFONTW lf{};
    lf.lfHeight = -12;
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpyW(lf.lfFaceName, L"\x5fae\x8f6f\x96c5\x9ed1");
    g_font = CreateFontIndirectW(&lf);
    lf.lfHeight = -21;
    lf.lfWeight = FW_BOLD;
    g_title_font = CreateFontIndirectW(&lf);

    const int x = (GetSystemMetrics(SM_CXSCREEN) - 420) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - 350) / 2;
    HWND form = CreateWindowExW(0, L"TarnixMainWindow", L"Tarnix", WS_POPUP | WS_CLIPCHILDREN, x, y,
                                420, 350, nullptr, nullptr, instance, nullptr);
    HWND made[kCount] = {};
    for (int i = 0; i < kCount; ++i) {
        const Row& r = kRows[i];
        made[i] = CreateWindowExW(0, L"FloorControl", r.text ? r.text : L"",
                                  WS_CHILD | WS_CLIPSIBLINGS | (r.visible ? WS_VISIBLE : 0), r.left,
                                  r.top, r.width, r.height, r.parent < 0 ? form : made[r.parent],
                                  nullptr, instance, nullptr);
    }
    // Shown without erasing anything; then the form alone paints, and draws
    // the children.
    SetWindowPos(form, nullptr, 0, 0, 0, 0,
                 SWP_SHOWWINDOW | SWP_NOREDRAW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
    RedrawWindow(form, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_NOCHILDREN);

    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
