#pragma once

// The names of the main window's controls that code reaches (the others
// appear only in the layout table).
namespace main_names {
inline constexpr char kPages[] = "选择夹_界面";
inline constexpr char kNavHome[] = "按钮_A";
inline constexpr char kNavSignUp[] = "按钮_B";
inline constexpr char kNavPassword[] = "按钮_D";
inline constexpr char kSignUpLink[] = "按钮_注册";
inline constexpr char kMinimize[] = "按钮_最小化";
inline constexpr char kClose[] = "按钮_关闭";
inline constexpr char kSlider[] = "图片框_滑块";
inline constexpr char kConnectionState[] = "标签_连接状态";
inline constexpr char kAnnouncement[] = "标签_公告";
inline constexpr char kAnnouncementTimer[] = "时钟_公告移动";
inline constexpr char kVersion[] = "标签_版本";
inline constexpr char kSignInAccount[] = "编辑框_登录账号";
inline constexpr char kSignInPassword[] = "编辑框_登录密码";
inline constexpr char kSignIn[] = "按钮_登录";
inline constexpr char kSignUpAccount[] = "编辑框_注册账号";
inline constexpr char kSignUpPassword[] = "编辑框_注册密码";
inline constexpr char kEmail[] = "编辑框_绑定邮箱";
inline constexpr char kCode[] = "编辑框_验证码";
inline constexpr char kGetCode[] = "按钮_获取验证码";
inline constexpr char kConfirmSignUp[] = "按钮_确认注册";
inline constexpr char kCodeTimer[] = "时钟_验证码";
inline constexpr char kChangeAccount[] = "编辑框_用户账号";
inline constexpr char kOldPassword[] = "编辑框_原始密码";
inline constexpr char kNewPassword[] = "编辑框_新的密码";
inline constexpr char kRepeatPassword[] = "编辑框_更改密码";
inline constexpr char kConfirmChange[] = "按钮_确认更改";
// Every name above, for the test that they all name a control of the layout.
inline constexpr const char* kAll[] = {kPages,
                                       kNavHome,
                                       kNavSignUp,
                                       kNavPassword,
                                       kSignUpLink,
                                       kMinimize,
                                       kClose,
                                       kSlider,
                                       kConnectionState,
                                       kAnnouncement,
                                       kAnnouncementTimer,
                                       kVersion,
                                       kSignInAccount,
                                       kSignInPassword,
                                       kSignIn,
                                       kSignUpAccount,
                                       kSignUpPassword,
                                       kEmail,
                                       kCode,
                                       kGetCode,
                                       kConfirmSignUp,
                                       kCodeTimer,
                                       kChangeAccount,
                                       kOldPassword,
                                       kNewPassword,
                                       kRepeatPassword,
                                       kConfirmChange};
} // namespace main_names
