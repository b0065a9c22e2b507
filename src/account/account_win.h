#pragma once

#include <cstdint>

// The account operations of the main window: event handlers bound in its
// event-binding table. Each runs on the UI thread; the requests block that
// thread, and the page is disabled for as long as they run.

// 按钮_登录 clicked: challenge, then the MD5 proof of the password.
void on_sign_in_clicked();

// 按钮_获取验证码 clicked: asks the server to mail a code and keeps its answer.
void on_get_code_clicked();
// 时钟_验证码 tick: one second of the get-code button's 30-second lock.
void on_code_timer_tick();
// 编辑框_绑定邮箱 content changed: a code belongs to the address it was sent to.
void on_bind_email_changed();
// 按钮_确认注册 clicked: the sign-up.
void on_confirm_sign_up_clicked();

// 按钮_确认更改 clicked: the password change.
void on_confirm_change_clicked();

// Seconds left before the get-code button is usable again.
extern int32_t code_countdown;
