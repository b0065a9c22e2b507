#include "ui/timed_notice_win.h"

#include "platform/window_finder_win.h"
#include "ui/gbk_win.h"

namespace {

int WINAPI message_box_without_timeout(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, WORD,
                                       DWORD) {
    return MessageBoxW(owner, text, caption, type);
}

} // namespace

// USER32 exports MessageBoxTimeoutW without declaring it in any header, so it is
// looked up at run time; a system without it still gets a box, one that stays.
MessageBoxTimeoutFn platform_message_box_timeout() {
    static const MessageBoxTimeoutFn resolved = [] {
        HMODULE user32 = GetModuleHandleW(L"user32.dll");
        FARPROC p = user32 ? GetProcAddress(user32, "MessageBoxTimeoutW") : nullptr;
        return p ? reinterpret_cast<MessageBoxTimeoutFn>(reinterpret_cast<void*>(p))
                 : &message_box_without_timeout;
    }();
    return resolved;
}

int show_timed_notice(std::string_view gbk_text, std::optional<UINT> button_type,
                      std::optional<std::string> gbk_caption, std::optional<HWND> owner,
                      std::optional<int32_t> timeout_ms) {
    return show_timed_notice_with(platform_message_box_timeout(), gbk_text, button_type,
                                  std::move(gbk_caption), owner, timeout_ms);
}

int show_timed_notice_with(MessageBoxTimeoutFn platform, std::string_view gbk_text,
                           std::optional<UINT> button_type, std::optional<std::string> gbk_caption,
                           std::optional<HWND> owner, std::optional<int32_t> timeout_ms) {
    const HWND owner_window = owner ? *owner : find_process_window(GetCurrentProcessId());
    const std::wstring caption = widen(gbk_caption ? *gbk_caption : gbk("友情提醒"));
    const std::wstring text = widen(gbk_text);
    // Unlike the information box, no modality flag is added to the caller's type.
    const int result =
        platform(owner_window, text.c_str(), caption.c_str(), button_type.value_or(0), 0,
                 static_cast<DWORD>(timeout_ms.value_or(0)));
    return result - 1;
}
