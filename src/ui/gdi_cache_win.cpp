#include "ui/forms_detail_win.h"

#include "ui/gbk_win.h"

#include <map>
#include <tuple>

namespace ui::detail {

namespace {
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

// The run's fonts and brushes, created on first use and kept to the end.
struct GdiCache {
    std::map<FontKey, HFONT> fonts;
    std::map<HFONT, HFONT> underlined;
    std::map<COLORREF, HBRUSH> brushes;
};

GdiCache& cache() {
    static GdiCache c;
    return c;
}

} // namespace

HFONT cached_font(const std::wstring& face, int height, int weight, BYTE charset) {
    std::map<FontKey, HFONT>& fonts = cache().fonts;
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

HFONT font_of(const FontDef& def, int dpi) {
    std::wstring face = def.face ? widen(gbk(def.face)) : default_face();
    return cached_font(face, scale_to(def.height, dpi), def.weight, GB2312_CHARSET);
}

HFONT font_of(const Control& c) {
    return font_of(c.def->look ? c.def->look->font : FontDef{}, dpi_of(c));
}

namespace {
int CALLBACK font_found(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}
} // namespace

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
    std::map<COLORREF, HBRUSH>& brushes = cache().brushes;
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

HFONT underlined_font(HFONT font) {
    std::map<HFONT, HFONT>& underlined = cache().underlined;
    auto it = underlined.find(font);
    if (it == underlined.end()) {
        LOGFONTW lf{};
        GetObjectW(font, sizeof(lf), &lf);
        lf.lfUnderline = TRUE;
        it = underlined.emplace(font, CreateFontIndirectW(&lf)).first;
    }
    return it->second;
}

} // namespace ui::detail
