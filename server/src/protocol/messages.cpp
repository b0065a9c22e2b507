#include "protocol/messages.h"

#include "base/charset.h"
#include "base/password_screen.h"

#include <array>

namespace server {
namespace {

constexpr size_t kCount = static_cast<size_t>(Msg::Count);

// Order follows the enum.
const std::array<const char*, kCount> kUtf8 = {
    "ConnectionOk",
    "ok，欢迎回来",
    "注册成功",
    "密码修改成功",
    "账号或密码错误",
    "账号或原密码错误",
    "登录验证已失效，请重新登录",
    "密码连续输错次数过多，账号已暂时锁定，请稍后再试",
    "该账号已被注册",
    "账号须为6-16个字节（一个汉字算2个字节），且不能含控制字符",
    "密码须为6-16个字节（一个汉字算2个字节），且不能含控制字符",
    "新密码须为6-16个字节（一个汉字算2个字节），且不能含控制字符",
    "邮箱地址格式不正确",
    "请先获取邮箱验证码（验证码10分钟内有效）",
    "验证码发送过于频繁，请30秒后再试",
    "该邮箱今日接收验证码次数过多，请明天再试",
    "请求缺少必要的内容",
    "未知的命令",
    "请求格式错误",
    "请求中含有非法字符",
    "请求内容过长",
    "服务器内部错误，请稍后再试",
    "操作过于频繁，请稍后再试",
    refusal_text(Refusal::Breached),
    refusal_text(Refusal::TooSimple),
};

std::array<std::string, kCount> g_gbk;

} // namespace

bool init_messages(std::string& bad) {
    for (size_t i = 0; i < kCount; ++i) {
        auto converted = utf8_to_gbk(kUtf8[i]);
        if (!converted) {
            bad = kUtf8[i];
            return false;
        }
        g_gbk[i] = *converted;
    }
    return true;
}

const std::string& gbk(Msg m) {
    return g_gbk[static_cast<size_t>(m)];
}

const char* utf8(Msg m) {
    return kUtf8[static_cast<size_t>(m)];
}

} // namespace server
