#include "ui/forms_detail_win.h"

#include "ui/gbk_win.h"

#include <commctrl.h>

#include <algorithm>

namespace ui::detail {

namespace {

// The GBK byte limits: the edit control counts characters, so typing and
// pasting are checked here in bytes.

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
        if (wp == VK_RETURN && !multi_line) {
            press_action_button(*c);
            return 0;
        }
        break;
    case WM_CHAR: {
        auto ch = static_cast<wchar_t>(wp);
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

} // namespace

void apply_edit_font(Control& c) {
    HFONT font = font_of(c);
    if (c.def->flags & kPassword) {
        // A filled dot per character: "l" in Wingdings where that font exists,
        // otherwise the black-circle character in the normal font.
        static const bool wingdings = font_installed(L"Wingdings");
        if (wingdings) {
            font = cached_font(L"Wingdings", scaled(c, -12), 400, SYMBOL_CHARSET);
            SendMessageW(c.hwnd, EM_SETPASSWORDCHAR, L'l', 0);
        } else {
            SendMessageW(c.hwnd, EM_SETPASSWORDCHAR, 0x25CF, 0);
        }
    }
    SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    const int margin = scaled(c, 2);
    SendMessageW(c.hwnd, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(margin, margin));
}

void prepare_edit(Form&, Control& c) {
    const ControlDef& d = *c.def;
    apply_edit_font(c);
    // The edit control counts characters, never fewer than our byte count, so
    // this only backs up the byte check in edit_subclass.
    SendMessageW(c.hwnd, EM_LIMITTEXT, d.limit > 0 ? static_cast<WPARAM>(d.limit) : 0, 0);
    SetWindowSubclass(c.hwnd, edit_subclass, 1, reinterpret_cast<DWORD_PTR>(&c));
}

DWORD edit_style(const ControlDef& d) {
    DWORD es =
        (d.flags & kMultiLine) ? (ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL) : ES_AUTOHSCROLL;
    es |= (d.flags & kPassword) ? ES_PASSWORD : 0;
    es |= (d.flags & kReadOnly) ? ES_READONLY : 0;
    return WS_TABSTOP | es;
}

} // namespace ui::detail
