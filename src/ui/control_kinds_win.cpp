#include "ui/forms_detail_win.h"

#include <commctrl.h>

namespace ui::detail {

namespace {

DWORD clips_children(const ControlDef&) {
    return WS_CLIPCHILDREN;
}

DWORD focusable(const ControlDef&) {
    return WS_TABSTOP;
}

void prepare_progress_bar(Form&, Control& c) {
    SendMessageW(c.hwnd, PBM_SETRANGE32, 0, 1000);
    SendMessageW(c.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_of(c)), FALSE);
}

// The table of kinds, in the order of ControlKind.
const KindRow kKinds[] = {
    {ControlKind::PictureBox, L"TarnixPicture", picture_proc, 0, clips_children, prepare_picture},
    {ControlKind::TransparentLabel, L"TarnixLabel", label_proc, 0, nullptr, nullptr},
    {ControlKind::Label, L"TarnixLabel", label_proc, 0, nullptr, nullptr},
    {ControlKind::Edit, L"EDIT", nullptr, 0, edit_style, prepare_edit},
    {ControlKind::SuperButton, L"TarnixButton", button_proc, 0, focusable, nullptr},
    {ControlKind::Hyperlink, L"TarnixLink", label_proc, 0, focusable, nullptr},
    {ControlKind::Timer, nullptr, nullptr, 0, nullptr, nullptr},
    {ControlKind::PageContainer, L"TarnixPages", pages_proc, WS_EX_CONTROLPARENT, clips_children,
     prepare_pages},
    {ControlKind::ProgressBar, PROGRESS_CLASSW, nullptr, 0, nullptr, prepare_progress_bar},
};

} // namespace

const KindRow& kind_row(ControlKind kind) {
    return kKinds[static_cast<size_t>(kind)];
}

void register_control_classes() {
    for (const KindRow& row : kKinds) {
        if (row.proc) {
            register_class(row.window_class, row.proc);
        }
    }
}

} // namespace ui::detail
