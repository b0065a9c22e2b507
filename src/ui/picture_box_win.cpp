#include "ui/forms_detail_win.h"

#include "../../res/resource.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace ui::detail {

namespace {

// The frames of an animation (GDI+'s FrameDimensionTime, written out: GDI+ is
// loaded on first use, and a data import cannot be).
constexpr GUID kTimeDimension = {
    0x6aedbd6d, 0x3fb5, 0x418a, {0x83, 0xa6, 0x7f, 0x45, 0x22, 0x9d, 0xc8, 0x72}};

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
    pic->resource = resource;
    if (FAILED(CreateStreamOnHGlobal(mem, TRUE, &pic->stream))) {
        GlobalFree(mem);
        return nullptr;
    }
    pic->image = new Gdiplus::Image(pic->stream);
    if (pic->image->GetLastStatus() != Gdiplus::Ok) {
        return nullptr;
    }
    GUID time_dimension = kTimeDimension;
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

using DecodedPicture = std::future<std::unique_ptr<Picture>>;

// Pictures decoded on a thread of their own while the window is built: by
// resource until a picture box claims one, then by that box until it first
// paints. Only `pending` is shared with the decoding thread.
struct Preloads {
    std::mutex mutex;
    std::map<int, DecodedPicture> pending;
    std::map<HWND, DecodedPicture> claimed;
};

Preloads& preloads() {
    static Preloads p;
    return p;
}

bool claim_preloaded(Control& c) {
    std::lock_guard<std::mutex> lock(preloads().mutex);
    auto it = preloads().pending.find(c.def->image);
    if (it == preloads().pending.end()) {
        return false;
    }
    preloads().claimed[c.hwnd] = std::move(it->second);
    preloads().pending.erase(it);
    return true;
}

void start_animation(Control& c);

// Before a picture box's first paint: its claimed picture, waiting for the
// decoding if need be (or decoded here if that failed).
void attach_claimed(Control& c) {
    auto it = preloads().claimed.find(c.hwnd);
    if (it == preloads().claimed.end()) {
        return;
    }
    DecodedPicture decoded = std::move(it->second);
    preloads().claimed.erase(it);
    try {
        c.picture = decoded.get();
    } catch (...) {
        // No decoding thread: decoded below.
    }
    if (!c.picture) {
        c.picture = load_picture(c.def->image);
    }
    start_animation(c);
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

} // namespace

Picture::~Picture() {
    delete image;
    if (stream) {
        stream->Release();
    }
}

void draw_picture(Picture& pic, HDC dc, int x, int y, int dpi) {
    if (!pic.image) {
        return;
    }
    Gdiplus::Graphics g(dc);
    const auto design_width = static_cast<INT>(pic.image->GetWidth());
    const auto design_height = static_cast<INT>(pic.image->GetHeight());
    if (dpi > kDesignDpi && !pic.large_loaded) {
        pic.large_loaded = true;
        pic.large = load_picture(pic.resource + IDR_DOUBLE_SIZE);
    }
    // Above 100 % the double-size variant, scaled down (sharper than the
    // design size scaled up); both animations run in step.
    Picture& source = dpi > kDesignDpi && pic.large ? *pic.large : pic;
    if (source.frames > 1) {
        GUID time_dimension = kTimeDimension;
        source.image->SelectActiveFrame(&time_dimension, std::min(pic.frame, source.frames - 1));
    }
    if (dpi == kDesignDpi) {
        g.DrawImage(pic.image, x, y, design_width, design_height);
        return;
    }
    g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    // Mirrored edges: the filter must not blend the border with transparency.
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    const Gdiplus::Rect target(x, y, scale_to(design_width, dpi), scale_to(design_height, dpi));
    g.DrawImage(source.image, target, 0, 0, static_cast<INT>(source.image->GetWidth()),
                static_cast<INT>(source.image->GetHeight()), Gdiplus::UnitPixel, &edges);
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
        if (c) {
            attach_claimed(*c);
        }
        BufferedPaint p(hwnd, print_target(msg, wp));
        paint_own_background(hwnd, p.dc, 0, 0);
        return 0;
    }
    case WM_TIMER:
        if (wp == kAnimationTimer && c && c->picture) {
            next_frame(*c);
        }
        return 0;
    case WM_NCDESTROY:
        preloads().claimed.erase(hwnd); // never painted
        return DefWindowProcW(hwnd, msg, wp, lp);
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void prepare_picture(Form&, Control& c) {
    if (!c.def->image || claim_preloaded(c)) {
        return;
    }
    c.picture = load_picture(c.def->image);
    start_animation(c);
}

} // namespace ui::detail

namespace ui {

void preload_pictures(const std::vector<int>& resources) {
    using detail::Picture;
    std::vector<std::pair<int, std::promise<std::unique_ptr<Picture>>>> jobs;
    {
        std::lock_guard<std::mutex> lock(detail::preloads().mutex);
        for (int resource : resources) {
            if (detail::preloads().pending.count(resource) == 0) {
                jobs.emplace_back(resource, std::promise<std::unique_ptr<Picture>>());
                detail::preloads().pending[resource] = jobs.back().second.get_future();
            }
        }
    }
    if (jobs.empty()) {
        return;
    }
    try {
        // In the given order, one after the other.
        std::thread([jobs = std::move(jobs)]() mutable {
            for (auto& [resource, promise] : jobs) {
                try {
                    promise.set_value(detail::load_picture(resource));
                } catch (...) {
                    promise.set_value(nullptr);
                }
            }
        }).detach();
    } catch (...) {
        // No thread: the promises are broken and each box decodes its own.
    }
}

} // namespace ui
