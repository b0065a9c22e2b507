#include "ui/info_box_win.h"

#include "ui/gbk_win.h"

int info_box(std::string_view gbk_text, UINT style) {
    if (!(style & MB_SYSTEMMODAL)) {
        style |= MB_TASKMODAL;
    }
    static const std::wstring caption = widen(gbk("信息："));
    return MessageBoxW(nullptr, widen(gbk_text).c_str(), caption.c_str(), style) - 1;
}
