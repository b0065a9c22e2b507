#include "ui/forms_detail_win.h"

#include "../../res/resource.h"
#include "platform/ui_thread_win.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

namespace ui::detail {

namespace {

// The frames of an animation (GDI+'s FrameDimensionTime, written out: GDI+ is
// loaded on first use, and a data import cannot be).
constexpr GUID kTimeDimension = {
    0x6aedbd6d, 0x3fb5, 0x418a, {0x83, 0xa6, 0x7f, 0x45, 0x22, 0x9d, 0xc8, 0x72}};

// A resource's bytes, or empty.
std::pair<const BYTE*, size_t> resource_bytes(int resource, const wchar_t* type) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(resource), type);
    if (!res) {
        return {nullptr, 0};
    }
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
    return {data, data ? SizeofResource(module, res) : 0};
}

// A BITMAP resource as a 32-bit top-down DIB section with premultiplied alpha.
// The artwork's bitmaps are uncompressed, 8 bits a pixel (opaque, a palette)
// or 32 (premultiplied already); anything else is not drawn.
FirstFrame load_first_frame(int resource) {
    FirstFrame f;
    auto [data, size] = resource_bytes(resource, MAKEINTRESOURCEW(2)); // RT_BITMAP
    BITMAPINFOHEADER h;
    if (size < sizeof h) {
        return f;
    }
    memcpy(&h, data, sizeof h);
    const int bpp = h.biBitCount;
    if (h.biSize < sizeof h || h.biCompression != BI_RGB || (bpp != 8 && bpp != 32) ||
        h.biWidth <= 0 || h.biWidth > 4096 || h.biHeight == 0 || h.biHeight < -4096 ||
        h.biHeight > 4096) {
        return f;
    }
    const bool bottom_up = h.biHeight > 0;
    const LONG height = bottom_up ? h.biHeight : -h.biHeight;
    const size_t colours = bpp == 8 ? (h.biClrUsed ? h.biClrUsed : 256) : 0;
    const size_t stride = (static_cast<size_t>(h.biWidth) * bpp + 31) / 32 * 4;
    const size_t offset = h.biSize + colours * 4;
    if (colours > 256 || size < offset + stride * static_cast<size_t>(height)) {
        return f;
    }
    const BYTE* palette = data + h.biSize;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = h.biWidth;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    f.bitmap.reset(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!f.bitmap) {
        return f;
    }
    auto* out = static_cast<DWORD*>(bits);
    for (LONG y = 0; y < height; ++y) {
        const BYTE* row =
            data + offset + stride * static_cast<size_t>(bottom_up ? height - 1 - y : y);
        for (LONG x = 0; x < h.biWidth; ++x) {
            DWORD pixel;
            if (bpp == 32) {
                memcpy(&pixel, row + x * 4, 4);
            } else {
                const size_t i = row[x] < colours ? row[x] : 0;
                memcpy(&pixel, palette + i * 4, 4);
                pixel |= 0xFF000000;
            }
            *out++ = pixel;
        }
    }
    GdiFlush();
    f.bits = bits;
    f.width = h.biWidth;
    f.height = height;
    return f;
}

std::unique_ptr<Animation> load_animation(int resource) {
    auto [data, size] = resource_bytes(resource, MAKEINTRESOURCEW(10)); // RT_RCDATA
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
    auto a = std::make_unique<Animation>();
    if (FAILED(CreateStreamOnHGlobal(mem, TRUE, &a->stream))) {
        GlobalFree(mem);
        return nullptr;
    }
    a->image = new Gdiplus::Image(a->stream);
    if (a->image->GetLastStatus() != Gdiplus::Ok) {
        return nullptr;
    }
    GUID time_dimension = kTimeDimension;
    UINT frames = a->image->GetFrameCount(&time_dimension);
    a->frames = frames > 1 ? frames : 1;
    // Delays come in hundredths of a second, one per frame.
    UINT bytes = a->image->GetPropertyItemSize(PropertyTagFrameDelay);
    std::vector<BYTE> buf(bytes);
    auto* item = reinterpret_cast<Gdiplus::PropertyItem*>(buf.data());
    a->delays_ms.assign(a->frames, 100);
    if (bytes && a->image->GetPropertyItem(PropertyTagFrameDelay, bytes, item) == Gdiplus::Ok) {
        const auto* delays = static_cast<const UINT*>(item->value);
        size_t n = std::min<size_t>(item->length / sizeof(UINT), a->frames);
        for (size_t i = 0; i < n; ++i) {
            // Like browsers, treat a delay under 20 ms as "unspecified".
            a->delays_ms[i] = delays[i] >= 2 ? delays[i] * 10 : 100;
        }
    }
    bytes = a->image->GetPropertyItemSize(PropertyTagLoopCount);
    buf.assign(bytes, 0);
    item = reinterpret_cast<Gdiplus::PropertyItem*>(buf.data());
    if (bytes && a->image->GetPropertyItem(PropertyTagLoopCount, bytes, item) == Gdiplus::Ok &&
        item->length >= 2) {
        a->loop_count = *static_cast<const USHORT*>(item->value);
    }
    return a;
}

bool has_animation(int resource) {
    return resource_bytes(resource, MAKEINTRESOURCEW(10)).first != nullptr;
}

void start_animation(Control& c) {
    const Picture* pic = c.picture.get();
    if (pic && pic->animation && pic->animation->frames > 1 && c.hwnd) {
        SetTimer(c.hwnd, kAnimationTimer, pic->animation->delays_ms[pic->frame], nullptr);
    }
}

void next_frame(Control& c) {
    Picture& pic = *c.picture;
    KillTimer(c.hwnd, kAnimationTimer);
    unsigned next = pic.frame + 1;
    if (next >= pic.animation->frames) {
        next = 0;
        ++pic.loops_done;
        if (pic.animation->loop_count != 0 && pic.loops_done >= pic.animation->loop_count) {
            return; // the last frame stays
        }
    }
    pic.frame = next;
    InvalidateRect(c.hwnd, nullptr, FALSE);
    start_animation(c);
}

// The animation's frames, decoded on a thread of their own (GDI+ loads OLE and
// the codecs, which took longer than building the window) and handed to the
// picture box on the UI thread. Asked for by a posted task, so the thread
// starts once the message loop runs: after the window's first paint.
void decode_after_first_paint(HWND box) {
    ui::post_to_ui_thread([box] {
        Control* c = control_of_window(box);
        if (!c || !c->picture || c->picture->animation) {
            return;
        }
        // The frames at 1x, and at 2x if the window is above 100 % now.
        struct Decoded {
            std::unique_ptr<Animation> animation;
            std::unique_ptr<Animation> large;
            bool large_asked = false;
        };
        auto decode = [resource = c->picture->resource, large = dpi_of(*c) > kDesignDpi] {
            auto d = std::make_shared<Decoded>();
            d->animation = load_animation(resource);
            if (large) {
                d->large = load_animation(resource + IDR_DOUBLE_SIZE);
                d->large_asked = true;
            }
            return d;
        };
        auto hand_over = [box](const std::shared_ptr<Decoded>& d) {
            Control* c = control_of_window(box);
            if (!c || !c->picture || c->picture->animation || !d->animation) {
                return; // the box is gone, or the picture stays still
            }
            c->picture->animation = std::move(d->animation);
            if (d->large_asked) {
                c->picture->animation_large = std::move(d->large);
                c->picture->animation_large_loaded = true;
            }
            start_animation(*c);
        };
        try {
            std::thread([decode, hand_over] {
                try {
                    auto d = decode();
                    ui::post_to_ui_thread([hand_over, d] { hand_over(d); });
                } catch (...) {
                    // Out of memory: the first frame stays.
                }
            }).detach();
        } catch (...) {
            try {
                hand_over(decode()); // no thread: decoded here
            } catch (...) {
            }
        }
    });
}

const FirstFrame& first_frame_for(Picture& pic, int dpi) {
    if (dpi > kDesignDpi && !pic.first_large_loaded) {
        pic.first_large_loaded = true;
        pic.first_large = load_first_frame(pic.resource + IDR_DOUBLE_SIZE);
    }
    return dpi > kDesignDpi && pic.first_large.bitmap ? pic.first_large : pic.first;
}

// `source` scaled to the target with high-quality interpolation.
void draw_scaled(Gdiplus::Image& source, HDC dc, const Gdiplus::Rect& target) {
    Gdiplus::Graphics g(dc);
    g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    // Mirrored edges: the filter must not blend the border with transparency.
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    g.DrawImage(&source, target, 0, 0, static_cast<INT>(source.GetWidth()),
                static_cast<INT>(source.GetHeight()), Gdiplus::UnitPixel, &edges);
}

void draw_first_frame(Picture& pic, HDC dc, const Gdiplus::Rect& target, int dpi) {
    const FirstFrame& f = first_frame_for(pic, dpi);
    if (!f.bitmap) {
        return;
    }
    if (f.width == target.Width && f.height == target.Height) {
        HDC mem = CreateCompatibleDC(dc);
        HGDIOBJ old = SelectObject(mem, f.bitmap.get());
        const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        GdiAlphaBlend(dc, target.X, target.Y, f.width, f.height, mem, 0, 0, f.width, f.height,
                      blend);
        SelectObject(mem, old);
        DeleteDC(mem);
        return;
    }
    Gdiplus::Bitmap source(f.width, f.height, f.width * 4, PixelFormat32bppPARGB,
                           static_cast<BYTE*>(const_cast<void*>(f.bits)));
    draw_scaled(source, dc, target);
}

} // namespace

Animation::~Animation() {
    delete image;
    if (stream) {
        stream->Release();
    }
}

void draw_picture(Picture& pic, HDC dc, int x, int y, int dpi) {
    const Gdiplus::Rect target(x, y, scale_to(pic.first.width, dpi),
                               scale_to(pic.first.height, dpi));
    if (pic.frame == 0 || !pic.animation) {
        draw_first_frame(pic, dc, target, dpi);
        return;
    }
    if (dpi > kDesignDpi && !pic.animation_large_loaded) {
        pic.animation_large_loaded = true;
        pic.animation_large = load_animation(pic.resource + IDR_DOUBLE_SIZE);
    }
    // Above 100 % the double-size variant, scaled down (sharper than the
    // design size scaled up); both animations run in step.
    Animation& source =
        dpi > kDesignDpi && pic.animation_large ? *pic.animation_large : *pic.animation;
    GUID time_dimension = kTimeDimension;
    source.image->SelectActiveFrame(&time_dimension, std::min(pic.frame, source.frames - 1));
    if (static_cast<INT>(source.image->GetWidth()) == target.Width &&
        static_cast<INT>(source.image->GetHeight()) == target.Height) {
        Gdiplus::Graphics(dc).DrawImage(source.image, target.X, target.Y, target.Width,
                                        target.Height);
        return;
    }
    draw_scaled(*source.image, dc, target);
}

LRESULT CALLBACK picture_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = 0;
    if (container_message(hwnd, msg, wp, lp, r)) {
        return r;
    }
    Control* c = control_of_window(hwnd);
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        // A picture in a buffer of its own: scaled by GDI+ straight into the
        // first frame's (clipped, origin moved), it came out different.
        BufferedPaint p(hwnd, print_target(msg, wp), c && c->picture);
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

void prepare_picture(Form&, Control& c) {
    if (!c.def->image) {
        return;
    }
    c.picture = std::make_unique<Picture>();
    c.picture->resource = c.def->image;
    c.picture->first = load_first_frame(c.def->image);
    if (has_animation(c.def->image)) {
        decode_after_first_paint(c.hwnd);
    }
}

} // namespace ui::detail
