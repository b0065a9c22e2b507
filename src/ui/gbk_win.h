#pragma once

#include <string>
#include <string_view>

// The system's texts are GBK (code page 936) byte strings; the UI speaks UTF-16.
// These are the only conversions, so rendering never depends on the ANSI code page.
std::wstring widen(std::string_view gbk);
std::string narrow(std::wstring_view wide);

// A text written in the UTF-8 source, as GBK bytes: gbk("连接成功").
std::string gbk(std::string_view utf8);
