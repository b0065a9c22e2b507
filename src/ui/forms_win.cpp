#include "ui/forms_win.h"

#include "platform/message_loop_win.h"
#include "ui/controls_win.h"
#include "ui/forms_detail_win.h"
#include "ui/gbk_win.h"
#include "platform/ui_thread_win.h"
#include "../../res/resource.h"

#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>
#include <windowsx.h>

#include <algorithm>
#include <tuple>

namespace ui {
namespace detail {
namespace {

constexpr wchar_t kFormProp[] = L"TarnixForm";
constexpr wchar_t kControlProp[] = L"TarnixControl";
constexpr wchar_t kPageProp[] = L"TarnixPage";

constexpr wchar_t kPictureClass[] = L"TarnixPicture";
constexpr wchar_t kLabelClass[] = L"TarnixLabel";
constexpr wchar_t kButtonClass[] = L"TarnixButton";
constexpr wchar_t kLinkClass[] = L"TarnixLink";
constexpr wchar_t kPagesClass[] = L"TarnixPages";

constexpr UINT_PTR kAnimationTimer = 1;
constexpr UINT_PTR kFirstFormTimer = 100;
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kGreyText = RGB(160, 160, 160);

HWND g_event_form = nullptr;

// ---------------------------------------------------------------- GDI caches
// Fonts and brushes live for the whole run: a handful of each, shared by every form.

struct FontKey {
    std::wstring face;
    int height;
    int weight;
    BYTE charset;
    bool operator<(const FontKey& o) const {
        return std::tie(face, height, weight, charset) <
               std::tie(o.face, o.height, o.weight, o.charset);
    }
};

HFONT cached_font(const std::wstring& face, int height, int weight, BYTE charset) {
    static std::map<FontKey, HFONT> fonts;
    FontKey key{face, height, weight, charset};
    auto it = fonts.find(key);
    if (it != fonts.end()) {
        return it->second;
    }
    HFONT f = CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                          face.c_str());
    fonts[key] = f;
    return f;
}

const std::wstring& default_face() {
    static const std::wstring face = widen(gbk("微软雅黑"));
    return face;
}

HFONT font_of(const FontDef& def) {
    std::wstring face = def.face ? widen(gbk(def.face)) : default_face();
    return cached_font(face, def.height, def.weight, GB2312_CHARSET);
}

HFONT font_of(const Control& c) {
    return font_of(c.def->look ? c.def->look->font : FontDef{});
}

int CALLBACK font_found(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool font_installed(const wchar_t* face) {
    LOGFONTW lf{};
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &lf, font_found, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

HBRUSH brush(COLORREF color) {
    static std::map<COLORREF, HBRUSH> brushes;
    auto it = brushes.find(color);
    if (it != brushes.end()) {
        return it->second;
    }
    HBRUSH b = CreateSolidBrush(color);
    brushes[color] = b;
    return b;
}

COLORREF or_default(COLORREF c, COLORREF fallback) {
    return c == kNoColor ? fallback : c;
}

// ---------------------------------------------------------------- pictures

std::unique_ptr<Picture> load_picture(int resource) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res =
        FindResourceW(module, MAKEINTRESOURCEW(resource), MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (!res) {
        return nullptr;
    }
    DWORD size = SizeofResource(module, res);
    const void* data = LockResource(LoadResource(module, res));
    if (!data || size == 0) {
        return nullptr;
    }
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!mem) {
        return nullptr;
    }
    void* dst = GlobalLock(mem);
    memcpy(dst, data, size);
    GlobalUnlock(mem);
    auto pic = std::make_unique<Picture>();
    if (FAILED(CreateStreamOnHGlobal(mem, TRUE, &pic->stream))) {
        GlobalFree(mem);
        return nullptr;
    }
    pic->image = new Gdiplus::Image(pic->stream);
    if (pic->image->GetLastStatus() != Gdiplus::Ok) {
        return nullptr;
    }
    GUID time_dimension = Gdiplus::FrameDimensionTime;
    UINT frames = pic->image->GetFrameCount(&time_dimension);
    pic->frames = frames > 1 ? frames : 1;
    if (pic->frames > 1) {
        // Delays come in hundredths of a second, one per frame.
        UINT bytes = pic->image->GetPropertyItemSize(PropertyTagFrameDelay);
        std::vector<BYTE> buf(bytes);
        auto* item = reinterpret_cast<Gdiplus::PropertyItem*>(buf.data());
        pic->delays_ms.assign(pic->frames, 100);
        if (bytes &&
            pic->image->GetPropertyItem(PropertyTagFrameDelay, bytes, item) == Gdiplus::Ok) {
            const auto* delays = static_cast<const UINT*>(item->value);
            size_t n = std::min<size_t>(item->length / sizeof(UINT), pic->frames);
            for (size_t i = 0; i < n; ++i) {
                // Like browsers, treat a delay under 20 ms as "unspecified".
                pic->delays_ms[i] = delays[i] >= 2 ? delays[i] * 10 : 100;
            }
        }
        bytes = pic->image->GetPropertyItemSize(PropertyTagLoopCount);
        buf.assign(bytes, 0);
        item = reinterpret_cast<Gdiplus::PropertyItem*>(buf.data());
        if (bytes &&
            pic->image->GetPropertyItem(PropertyTagLoopCount, bytes, item) == Gdiplus::Ok &&
            item->length >= 2) {
            pic->loop_count = *static_cast<const USHORT*>(item->value);
        }
    }
    return pic;
}

void draw_picture(Picture& pic, HDC dc, int x, int y) {
    if (!pic.image) {
        return;
    }
    Gdiplus::Graphics g(dc);
    if (pic.frames > 1) {
        GUID time_dimension = Gdiplus::FrameDimensionTime;
        pic.image->SelectActiveFrame(&time_dimension, pic.frame);
    }
    g.DrawImage(pic.image, x, y, static_cast<INT>(pic.image->GetWidth()),
                static_cast<INT>(pic.image->GetHeight()));
}

void start_animation(Control& c) {
    if (c.picture && c.picture->frames > 1 && c.hwnd) {
        SetTimer(c.hwnd, kAnimationTimer, c.picture->delays_ms[c.picture->frame], nullptr);
    }
}

void next_frame(Control& c) {
    Picture& pic = *c.picture;
    KillTimer(c.hwnd, kAnimationTimer);
    unsigned next = pic.frame + 1;
    if (next >= pic.frames) {
        next = 0;
        ++pic.loops_done;
        if (pic.loop_count != 0 && pic.loops_done >= pic.loop_count) {
            return; // the last frame stays
        }
    }
    pic.frame = next;
    InvalidateRect(c.hwnd, nullptr, FALSE);
    start_animation(c);
}

// ---------------------------------------------------------------- painting helpers

// Double buffering: every control paints into a memory bitmap first.
struct BufferedPaint {
    HWND hwnd;
    PAINTSTRUCT ps{};
    HDC window_dc = nullptr;
    HDC dc = nullptr;
    HBITMAP bmp = nullptr;
    HGDIOBJ old = nullptr;
    RECT rc{};
    explicit BufferedPaint(HWND h) : hwnd(h) {
        window_dc = BeginPaint(hwnd, &ps);
        GetClientRect(hwnd, &rc);
        dc = CreateCompatibleDC(window_dc);
        bmp = CreateCompatibleBitmap(window_dc, std::max<LONG>(rc.right, 1),
                                     std::max<LONG>(rc.bottom, 1));
        old = SelectObject(dc, bmp);
    }
    ~BufferedPaint() {
        BitBlt(window_dc, 0, 0, rc.right, rc.bottom, dc, 0, 0, SRCCOPY);
        SelectObject(dc, old);
        DeleteObject(bmp);
        DeleteDC(dc);
        EndPaint(hwnd, &ps);
    }
};

// Paints what `window` shows behind its children: its colour, and its picture.
void paint_own_background(HWND window, HDC dc, int dx, int dy) {
    RECT rc;
    GetClientRect(window, &rc);
    OffsetRect(&rc, dx, dy);
    FillRect(dc, &rc, brush(background_of(window)));
    Control* c = control_of_window(window);
    if (c && c->picture) {
        draw_picture(*c->picture, dc, dx, dy);
    }
}

// A transparent control shows its parent's background through.
void paint_parent_background(HWND child, HDC dc) {
    HWND parent = GetParent(child);
    POINT origin{0, 0};
    MapWindowPoints(child, parent, &origin, 1);
    paint_own_background(parent, dc, -origin.x, -origin.y);
}

std::wstring window_text(HWND hwnd) {
    int n = GetWindowTextLengthW(hwnd);
    std::wstring s(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(hwnd, s.data(), n + 1);
    s.resize(static_cast<size_t>(std::max(n, 0)));
    return s;
}

void draw_text(HDC dc, const Control& c, RECT rc, COLORREF color, UINT align,
               bool underline = false) {
    HFONT font = font_of(c);
    if (underline) {
        // An underlined twin of the same font.
        static std::map<HFONT, HFONT> underlined;
        auto it = underlined.find(font);
        if (it == underlined.end()) {
            LOGFONTW lf{};
            GetObjectW(font, sizeof(lf), &lf);
            lf.lfUnderline = TRUE;
            it = underlined.emplace(font, CreateFontIndirectW(&lf)).first;
        }
        font = it->second;
    }
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, color);
    std::wstring text = window_text(c.hwnd);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc,
              align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    SelectObject(dc, old);
}

void drag_form(HWND any) {
    HWND root = GetAncestor(any, GA_ROOT);
    ReleaseCapture();
    SendMessageW(root, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

// ---------------------------------------------------------------- shared container messages

bool container_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
    switch (msg) {
    case WM_COMMAND: {
        Control* c = control_of_window(reinterpret_cast<HWND>(lp));
        if (!c || c->def->kind != ControlKind::Edit) {
            return false;
        }
        switch (HIWORD(wp)) {
        case EN_SETFOCUS:
            fire(*c, Event::GainsFocus);
            break;
        case EN_KILLFOCUS:
            fire(*c, Event::LosesFocus);
            break;
        case EN_CHANGE:
            fire(*c, Event::Changed);
            break;
        default:
            break;
        }
        result = 0;
        return true;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
        HWND child = reinterpret_cast<HWND>(lp);
        Control* c = control_of_window(child);
        if (!c) {
            return false;
        }
        HDC dc = reinterpret_cast<HDC>(wp);
        COLORREF back = or_default(c->back, kWhite);
        COLORREF fore = IsWindowEnabled(child) ? or_default(c->fore, kBlack) : kGreyText;
        SetTextColor(dc, fore);
        SetBkColor(dc, back);
        result = reinterpret_cast<LRESULT>(brush(back));
        return true;
    }
    case WM_LBUTTONDOWN:
        // Pressing on a passive area moves the window, as a caption bar would.
        drag_form(hwnd);
        result = 0;
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------- control window procedures

LRESULT CALLBACK picture_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = 0;
    if (container_message(hwnd, msg, wp, lp, r)) {
        return r;
    }
    Control* c = control_of_window(hwnd);
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        BufferedPaint p(hwnd);
        paint_own_background(hwnd, p.dc, 0, 0);
        return 0;
    }
    case WM_TIMER:
        if (wp == kAnimationTimer && c && c->picture) {
            next_frame(*c);
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

LRESULT CALLBACK label_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Control* c = control_of_window(hwnd);
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        BufferedPaint p(hwnd);
        if (!c) {
            return 0;
        }
        bool link = c->def->kind == ControlKind::Hyperlink;
        if (c->def->kind == ControlKind::TransparentLabel) {
            paint_parent_background(hwnd, p.dc);
        } else {
            FillRect(p.dc, &p.rc, brush(background_of(hwnd)));
        }
        // A disabled label keeps its colour: it is disabled only so that clicks
        // fall through to the bar (the title).
        COLORREF fore = or_default(c->fore, link ? RGB(0, 136, 255) : kBlack);
        UINT align = (c->def->flags & kCentered)       ? DT_CENTER
                     : (c->def->flags & kRightAligned) ? DT_RIGHT
                                                       : DT_LEFT;
        draw_text(p.dc, *c, p.rc, fore, align, link && c->hover);
        return 0;
    }
    case WM_SETTEXT: {
        LRESULT res = DefWindowProcW(hwnd, msg, wp, lp);
        InvalidateRect(hwnd, nullptr, FALSE);
        return res;
    }
    case WM_MOUSEMOVE:
        if (c && c->def->kind == ControlKind::Hyperlink && !c->hover) {
            c->hover = true;
            TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, hwnd, 0};
            TrackMouseEvent(&t);
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        return 0;
    case WM_MOUSELEAVE:
        if (c) {
            c->hover = false;
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        return 0;
    case WM_SETCURSOR:
        if (c && c->def->kind == ControlKind::Hyperlink) {
            SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32649))); // IDC_HAND
            return TRUE;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    case WM_LBUTTONDOWN:
        if (c && c->def->kind == ControlKind::Hyperlink) {
            // No link target: the click is only an event.
            fire(*c, Event::Clicked);
            return 0;
        }
        drag_form(hwnd);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void button_click(Control& c) {
    if (!IsWindowEnabled(c.hwnd) || !IsWindowVisible(c.hwnd)) {
        return;
    }
    fire(c, Event::Clicked);
}

LRESULT CALLBACK button_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Control* c = control_of_window(hwnd);
    if (!c) {
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    const Look look = c->def->look ? *c->def->look : Look{};
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        BufferedPaint p(hwnd);
        COLORREF fore = or_default(c->fore, kBlack);
        COLORREF back = or_default(c->back, kWhite);
        bool enabled = IsWindowEnabled(hwnd) != FALSE;
        if (enabled && c->hover) {
            fore = or_default(look.hover_fore, fore);
            back = or_default(look.hover_back, back);
        } else if (enabled && GetFocus() == hwnd) {
            fore = or_default(look.focus_fore, fore);
            back = or_default(look.focus_back, back);
        }
        if (enabled && c->checked) {
            // The checked navigation button keeps the highlight colour.
            fore = or_default(look.hover_fore, fore);
        }
        if (!enabled) {
            fore = kGreyText;
        }
        FillRect(p.dc, &p.rc, brush(back));
        draw_text(p.dc, *c, p.rc, fore, DT_CENTER);
        return 0;
    }
    case WM_SETTEXT: {
        LRESULT res = DefWindowProcW(hwnd, msg, wp, lp);
        InvalidateRect(hwnd, nullptr, FALSE);
        return res;
    }
    case WM_ENABLE:
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_MOUSEMOVE:
        if (!c->hover) {
            c->hover = true;
            TRACKMOUSEEVENT t{sizeof(t), TME_LEAVE, hwnd, 0};
            TrackMouseEvent(&t);
            InvalidateRect(hwnd, nullptr, FALSE);
        }
        return 0;
    case WM_MOUSELEAVE:
        c->hover = false;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        SetCapture(hwnd);
        c->pressed = true;
        return 0;
    case WM_LBUTTONUP: {
        if (!c->pressed) {
            return 0;
        }
        c->pressed = false;
        ReleaseCapture();
        POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        RECT rc;
        GetClientRect(hwnd, &rc);
        if (PtInRect(&rc, pt)) {
            button_click(*c);
        }
        return 0;
    }
    case WM_CAPTURECHANGED:
        c->pressed = false;
        return 0;
    case WM_KEYDOWN:
        if (wp == VK_SPACE || wp == VK_RETURN) {
            button_click(*c);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    case BM_CLICK:
        button_click(*c);
        return 0;
    case BM_GETCHECK:
        return c->checked ? BST_CHECKED : BST_UNCHECKED;
    case BM_SETCHECK:
        c->checked = wp == BST_CHECKED;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// The page container and its pages: plain containers in the form's colour.
LRESULT CALLBACK pages_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = 0;
    if (container_message(hwnd, msg, wp, lp, r)) {
        return r;
    }
    switch (msg) {
    case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wp), &rc, brush(background_of(hwnd)));
        return 1;
    }
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// ---------------------------------------------------------------- edit boxes

size_t gbk_size(std::wstring_view s) {
    return narrow(s).size();
}

// Bytes still free for what would replace the current selection.
size_t room_in(HWND edit, size_t limit) {
    std::wstring text = window_text(edit);
    DWORD start = 0;
    DWORD end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    start = std::min<DWORD>(start, static_cast<DWORD>(text.size()));
    end = std::min<DWORD>(std::max(start, end), static_cast<DWORD>(text.size()));
    std::wstring_view all(text);
    size_t kept = gbk_size(all.substr(0, start)) + gbk_size(all.substr(end));
    return kept >= limit ? 0 : limit - kept;
}

// The longest prefix of `s` that fits in `room` GBK bytes, whole characters only.
std::wstring fitting_prefix(std::wstring_view s, size_t room) {
    size_t used = 0;
    size_t i = 0;
    while (i < s.size()) {
        size_t n = (IS_HIGH_SURROGATE(s[i]) && i + 1 < s.size()) ? 2 : 1;
        size_t bytes = gbk_size(s.substr(i, n));
        if (used + bytes > room) {
            break;
        }
        used += bytes;
        i += n;
    }
    return std::wstring(s.substr(0, i));
}

void paste_limited(HWND edit, size_t limit, bool multi_line) {
    if (!OpenClipboard(edit)) {
        return;
    }
    std::wstring clip;
    if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
            clip = p;
            GlobalUnlock(h);
        }
    }
    CloseClipboard();
    if (!multi_line) {
        // A single-line box takes the first line only.
        clip = clip.substr(0, clip.find_first_of(L"\r\n"));
    }
    std::wstring fits = fitting_prefix(clip, room_in(edit, limit));
    if (fits.size() < clip.size()) {
        MessageBeep(MB_OK);
    }
    if (!fits.empty()) {
        SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(fits.c_str()));
    }
}

// Edit boxes of the same page (or form), in tab order.
std::vector<Control*> tab_ring(const Control& c) {
    std::vector<Control*> ring;
    Form* f = form_of(c.form);
    if (!f) {
        return ring;
    }
    for (auto& other : f->controls) {
        if (other->def->kind == ControlKind::Edit && other->def->tab >= 0 &&
            other->page_window == c.page_window) {
            ring.push_back(other.get());
        }
    }
    std::stable_sort(ring.begin(), ring.end(),
                     [](const Control* a, const Control* b) { return a->def->tab < b->def->tab; });
    return ring;
}

void tab_from(Control& c, bool backwards) {
    std::vector<Control*> ring = tab_ring(c);
    auto it = std::find(ring.begin(), ring.end(), &c);
    if (it == ring.end() || ring.size() < 2) {
        return;
    }
    size_t i = static_cast<size_t>(it - ring.begin());
    for (size_t step = 1; step < ring.size(); ++step) {
        size_t j = backwards ? (i + ring.size() - step) % ring.size() : (i + step) % ring.size();
        HWND target = ring[j]->hwnd;
        if (IsWindowEnabled(target) && IsWindowVisible(target)) {
            SetFocus(target);
            SendMessageW(target, EM_SETSEL, 0, -1);
            return;
        }
    }
}

void press_action_button(const Control& c) {
    Form* f = form_of(c.form);
    if (!f) {
        return;
    }
    for (auto& other : f->controls) {
        if ((other->def->flags & kActionButton) && other->page_window == c.page_window) {
            button_click(*other);
            return;
        }
    }
}

LRESULT CALLBACK edit_subclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                               DWORD_PTR ref) {
    auto* c = reinterpret_cast<Control*>(ref);
    const bool multi_line = (c->def->flags & kMultiLine) != 0;
    const size_t limit = static_cast<size_t>(std::max(c->def->limit, 0));
    switch (msg) {
    case WM_KEYDOWN:
        if (wp == VK_TAB && c->def->tab >= 0) {
            tab_from(*c, GetKeyState(VK_SHIFT) < 0);
            return 0;
        }
        if (wp == VK_RETURN && !multi_line) {
            press_action_button(*c);
            return 0;
        }
        break;
    case WM_CHAR: {
        auto ch = static_cast<wchar_t>(wp);
        if (ch == L'\t' && c->def->tab >= 0) {
            return 0;
        }
        if ((ch == L'\r' || ch == L'\n') && !multi_line) {
            return 0;
        }
        if (ch == 0x16) { // Ctrl+V: through our own paste, which counts bytes
            SendMessageW(hwnd, WM_PASTE, 0, 0);
            return 0;
        }
        if (limit > 0 && ch >= 0x20 && !(c->def->flags & kReadOnly)) {
            // A surrogate half alone has no GBK form; count a pair once, at its first half.
            size_t need = IS_LOW_SURROGATE(ch) ? 0 : gbk_size(std::wstring_view(&ch, 1));
            if (need > room_in(hwnd, limit)) {
                MessageBeep(MB_OK);
                return 0;
            }
        }
        break;
    }
    case WM_PASTE:
        if (limit > 0 && !(c->def->flags & kReadOnly)) {
            paste_limited(hwnd, limit, multi_line);
            return 0;
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hwnd, edit_subclass, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

// ---------------------------------------------------------------- the form window

LRESULT CALLBACK form_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = 0;
    if (container_message(hwnd, msg, wp, lp, r)) {
        return r;
    }
    Form* f = form_of(hwnd);
    switch (msg) {
    case WM_ERASEBKGND: {
        RECT rc;
        GetClientRect(hwnd, &rc);
        FillRect(reinterpret_cast<HDC>(wp), &rc, brush(f ? f->def->back : kWhite));
        return 1;
    }
    case WM_TIMER: {
        if (!f) {
            return 0;
        }
        auto it = f->timers.find(wp);
        if (it != f->timers.end()) {
            fire(*it->second, Event::Tick);
        }
        return 0;
    }
    case WM_CLOSE:
        if (f && f->def->on_close) {
            f->def->on_close(hwnd);
        } else {
            DestroyWindow(hwnd);
        }
        return 0;
    case WM_DESTROY:
        if (f) {
            for (auto& t : f->timers) {
                KillTimer(hwnd, t.first);
            }
            if (f->def->on_destroy) {
                f->def->on_destroy(hwnd);
            }
        }
        untrack_top_level_window(hwnd);
        return 0;
    case WM_NCDESTROY:
        RemovePropW(hwnd, kFormProp);
        delete f;
        return DefWindowProcW(hwnd, msg, wp, lp);
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void register_class(const wchar_t* name, WNDPROC proc, LPCWSTR cursor = MAKEINTRESOURCEW(32512),
                    HICON icon = nullptr) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    HINSTANCE inst = GetModuleHandleW(nullptr);
    if (GetClassInfoExW(inst, name, &existing)) {
        return;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = inst;
    wc.hIcon = icon;
    wc.hCursor = LoadCursorW(nullptr, cursor);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

void register_control_classes() {
    register_class(kPictureClass, picture_proc);
    register_class(kLabelClass, label_proc);
    register_class(kLinkClass, label_proc);
    register_class(kButtonClass, button_proc);
    register_class(kPagesClass, pages_proc);
}

HWND create_child(const wchar_t* cls, DWORD ex_style, DWORD style, const std::wstring& text,
                  HWND parent, const ControlDef& d) {
    return CreateWindowExW(ex_style, cls, text.c_str(), style, d.left, d.top, d.width, d.height,
                           parent, nullptr, GetModuleHandleW(nullptr), nullptr);
}

void add_tooltip(Form& f, Control& c) {
    if (!f.tooltip) {
        f.tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                    WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, f.hwnd, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
    }
    std::wstring tip = widen(gbk(c.def->tooltip));
    TOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = f.hwnd;
    ti.uId = reinterpret_cast<UINT_PTR>(c.hwnd);
    ti.lpszText = tip.data();
    SendMessageW(f.tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

void setup_edit(Control& c) {
    const ControlDef& d = *c.def;
    HFONT font = font_of(c);
    if (d.flags & kPassword) {
        // A filled dot per character: "l" in Wingdings where that font exists,
        // otherwise the black-circle character in the normal font.
        static const bool wingdings = font_installed(L"Wingdings");
        if (wingdings) {
            font = cached_font(L"Wingdings", -12, 400, SYMBOL_CHARSET);
            SendMessageW(c.hwnd, EM_SETPASSWORDCHAR, L'l', 0);
        } else {
            SendMessageW(c.hwnd, EM_SETPASSWORDCHAR, 0x25CF, 0);
        }
    }
    SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageW(c.hwnd, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(2, 2));
    // The edit control counts characters, never fewer than our byte count, so
    // this only backs up the byte check in edit_subclass.
    SendMessageW(c.hwnd, EM_LIMITTEXT, d.limit > 0 ? static_cast<WPARAM>(d.limit) : 0, 0);
    SetWindowSubclass(c.hwnd, edit_subclass, 1, reinterpret_cast<DWORD_PTR>(&c));
}

bool create_control(Form& f, Control& c) {
    const ControlDef& d = *c.def;
    HWND parent = f.hwnd;
    if (d.parent) {
        Control* p = find_control(f.hwnd, d.parent);
        if (!p || !p->hwnd) {
            return false;
        }
        parent = p->hwnd;
        if (p->def->kind == ControlKind::PageContainer) {
            if (d.page < 0 || static_cast<size_t>(d.page) >= p->pages.size()) {
                return false;
            }
            parent = p->pages[static_cast<size_t>(d.page)];
        }
    }
    if (d.look) {
        c.back = d.look->back;
        c.fore = d.look->fore;
    }
    std::wstring text = d.text ? widen(gbk(d.text)) : std::wstring();
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | ((d.flags & kHidden) ? 0 : WS_VISIBLE) |
                  ((d.flags & kDisabled) ? WS_DISABLED : 0);
    switch (d.kind) {
    case ControlKind::Timer:
        c.timer_id = kFirstFormTimer + f.timers.size();
        f.timers[c.timer_id] = &c;
        return true;
    case ControlKind::PictureBox:
        c.hwnd = create_child(kPictureClass, 0, style | WS_CLIPCHILDREN, text, parent, d);
        if (d.image) {
            c.picture = load_picture(d.image);
        }
        break;
    case ControlKind::TransparentLabel:
    case ControlKind::Label:
        c.hwnd = create_child(kLabelClass, 0, style, text, parent, d);
        break;
    case ControlKind::Hyperlink:
        c.hwnd = create_child(kLinkClass, 0, style, text, parent, d);
        break;
    case ControlKind::SuperButton:
        c.hwnd = create_child(kButtonClass, 0, style | WS_TABSTOP, text, parent, d);
        break;
    case ControlKind::Edit: {
        DWORD es =
            (d.flags & kMultiLine) ? (ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL) : ES_AUTOHSCROLL;
        es |= (d.flags & kPassword) ? ES_PASSWORD : 0;
        es |= (d.flags & kReadOnly) ? ES_READONLY : 0;
        c.hwnd = create_child(L"EDIT", 0, style | WS_TABSTOP | es, text, parent, d);
        break;
    }
    case ControlKind::PageContainer: {
        c.hwnd = create_child(kPagesClass, WS_EX_CONTROLPARENT, style | WS_CLIPCHILDREN, text,
                              parent, d);
        // As many pages as the table places controls on; only the current one shows.
        int pages = 1;
        for (const ControlDef& other : f.def->controls) {
            if (other.parent && d.name && strcmp(other.parent, d.name) == 0) {
                pages = std::max(pages, other.page + 1);
            }
        }
        for (int i = 0; i < pages && c.hwnd; ++i) {
            HWND page = CreateWindowExW(
                WS_EX_CONTROLPARENT, kPagesClass, L"",
                WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | (i == 0 ? WS_VISIBLE : 0), 0, 0,
                d.width, d.height, c.hwnd, nullptr, GetModuleHandleW(nullptr), nullptr);
            SetPropW(page, kPageProp, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(i + 1)));
            c.pages.push_back(page);
        }
        break;
    }
    case ControlKind::ProgressBar:
        c.hwnd = create_child(PROGRESS_CLASSW, 0, style, text, parent, d);
        if (c.hwnd) {
            SendMessageW(c.hwnd, PBM_SETRANGE32, 0, 1000);
        }
        break;
    }
    if (!c.hwnd) {
        return false;
    }
    SetPropW(c.hwnd, kControlProp, &c);
    // The page (or the form) this control belongs to, for Tab and Enter.
    c.page_window = f.hwnd;
    for (HWND w = parent; w && w != f.hwnd; w = GetParent(w)) {
        if (GetPropW(w, kPageProp)) {
            c.page_window = w;
            break;
        }
    }
    if (d.kind == ControlKind::Edit) {
        setup_edit(c);
    } else if (d.kind == ControlKind::ProgressBar) {
        SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_of(c)), FALSE);
    }
    if (d.tooltip) {
        add_tooltip(f, c);
    }
    start_animation(c);
    return true;
}

} // namespace

Picture::~Picture() {
    delete image;
    if (stream) {
        stream->Release();
    }
}

Form* form_of(HWND form) {
    return form ? static_cast<Form*>(GetPropW(form, kFormProp)) : nullptr;
}

Control* find_control(HWND form, std::string_view name) {
    Form* f = form_of(form);
    if (!f) {
        return nullptr;
    }
    auto it = f->by_name.find(name);
    return it == f->by_name.end() ? nullptr : it->second;
}

Control* control_of_window(HWND window) {
    return window ? static_cast<Control*>(GetPropW(window, kControlProp)) : nullptr;
}

COLORREF background_of(HWND window) {
    for (HWND w = window; w; w = GetParent(w)) {
        if (Control* c = control_of_window(w)) {
            if (c->back != kNoColor && c->def->kind != ControlKind::TransparentLabel) {
                return c->back;
            }
        }
        if (Form* f = form_of(w)) {
            return f->def->back;
        }
    }
    return kWhite;
}

void fire(Control& c, Event event) {
    HWND saved = g_event_form;
    g_event_form = c.form;
    // Handlers are copied: one may rebind or destroy the form.
    std::vector<std::function<void()>> handlers = c.handlers[static_cast<int>(event)];
    for (auto& h : handlers) {
        try {
            if (h) {
                h();
            }
        } catch (...) {
            // No exception may leave a window procedure.
        }
    }
    g_event_form = saved;
}

} // namespace detail

using namespace detail;

HWND build_form(const FormDef& def) {
    register_control_classes();
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TARNIX));
    register_class(def.class_name, form_proc, MAKEINTRESOURCEW(32512), icon);
    // Borderless, minimisable from the taskbar, no maximise box.
    HWND hwnd =
        CreateWindowExW(WS_EX_APPWINDOW | WS_EX_CONTROLPARENT, def.class_name,
                        widen(gbk(def.caption ? def.caption : "")).c_str(),
                        WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, 50, 50, def.width,
                        def.height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!hwnd) {
        return nullptr;
    }
    auto* f = new Form();
    f->def = &def;
    f->hwnd = hwnd;
    SetPropW(hwnd, kFormProp, f);
    for (const ControlDef& d : def.controls) {
        auto c = std::make_unique<Control>();
        c->def = &d;
        c->form = hwnd;
        Control* raw = c.get();
        f->controls.push_back(std::move(c));
        if (create_control(*f, *raw)) {
            f->by_name[d.name] = raw;
        } else {
            OutputDebugStringW(L"Tarnix: a control of the layout table could not be created\n");
        }
    }
    for (const Binding& b : def.bindings) {
        bind_event(hwnd, b.control, b.event, b.handler);
    }
    track_top_level_window(hwnd);
    return hwnd;
}

void bind_event(HWND form, std::string_view name, Event event, std::function<void()> handler) {
    run_on_ui_thread([&] {
        if (Control* c = find_control(form, name)) {
            c->handlers[static_cast<int>(event)].push_back(std::move(handler));
        }
    });
}

HWND event_form() {
    return g_event_form;
}

void fire_event(HWND form, std::string_view name, Event event) {
    run_on_ui_thread([&] {
        Control* c = find_control(form, name);
        if (!c) {
            return;
        }
        if (event == Event::Clicked && c->hwnd) {
            button_click(*c);
        } else {
            fire(*c, event);
        }
    });
}

void bind_underline_focus(FormDef& def, COLORREF focused, COLORREF unfocused) {
    for (const ControlDef& d : def.controls) {
        if (d.kind != ControlKind::Edit || !d.parent) {
            continue;
        }
        auto frame =
            std::find_if(def.controls.begin(), def.controls.end(), [&](const ControlDef& p) {
                return strcmp(p.name, d.parent) == 0 && p.kind == ControlKind::PictureBox;
            });
        if (frame == def.controls.end()) {
            continue;
        }
        std::string frame_name = frame->name;
        def.bindings.push_back({d.name, Event::GainsFocus, [frame_name, focused] {
                                    set_back_color(event_form(), frame_name, focused);
                                }});
        def.bindings.push_back({d.name, Event::LosesFocus, [frame_name, unfocused] {
                                    set_back_color(event_form(), frame_name, unfocused);
                                }});
    }
}

void center_on_screen(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    SetWindowPos(window, nullptr, work.left + (work.right - work.left - w) / 2,
                 work.top + (work.bottom - work.top - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace ui
