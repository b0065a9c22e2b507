#pragma once

#include "ui/forms_win.h"

// The program's colours, and the looks that the main window and the update
// window share (navigation bar, window buttons, button frames).
namespace palette {

inline constexpr COLORREF kBarDark = RGB(47, 53, 60);
inline constexpr COLORREF kBarHover = RGB(54, 61, 69);
inline constexpr COLORREF kAccentBlue = RGB(0, 136, 255);
inline constexpr COLORREF kLinkHover = RGB(0, 0, 255);
inline constexpr COLORREF kFrameBlue = RGB(2, 196, 252);
inline constexpr COLORREF kTitleGreen = RGB(0, 255, 0);
inline constexpr COLORREF kLabelGrey = RGB(96, 96, 96);
inline constexpr COLORREF kStatusGrey = RGB(128, 128, 128);
inline constexpr COLORREF kSilver = RGB(192, 192, 192);
inline constexpr COLORREF kWhite = RGB(255, 255, 255);
inline constexpr COLORREF kBlack = RGB(0, 0, 0);
inline constexpr COLORREF kNone = ui::kNoColor;

// Looks: fore, back, hover fore, hover back, focus fore, focus back, font.
inline constexpr ui::Look kBar{kNone, kBarDark};
inline constexpr ui::Look kWindowButton{
    kWhite, kBarDark, kWhite, kBarHover, kWhite, kBarDark, {"新宋体", -19, 700}};
// A button frame: a 1-pixel blue outline (at 96 DPI) around its action button.
inline constexpr ui::Look kButtonFrame{kNone, kFrameBlue};
inline constexpr ui::Look kActionButton{kFrameBlue, kWhite, kWhite, kFrameBlue, kFrameBlue, kWhite};

} // namespace palette
