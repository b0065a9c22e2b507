#include "ui/gbk_win.h"

#include <windows.h>

namespace {
constexpr UINT kGbk = 936;

std::wstring to_wide(UINT code_page, std::string_view text) {
    if (text.empty()) {
        return {};
    }
    int n =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string from_wide(UINT code_page, std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    int n = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}
} // namespace

std::wstring widen(std::string_view gbk) {
    return to_wide(kGbk, gbk);
}
std::string narrow(std::wstring_view wide) {
    return from_wide(kGbk, wide);
}
std::string gbk(std::string_view utf8) {
    return from_wide(kGbk, to_wide(CP_UTF8, utf8));
}
