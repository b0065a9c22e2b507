// Program entry of Tarnix.exe.
#include "app/program_win.h"
#include "ui/main_window_win.h"
#include "ui/ui_thread_win.h"

#include <commctrl.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // 1. Runtime: common controls and the route by which threads reach the UI.
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES |
                                              ICC_TAB_CLASSES | ICC_LINK_CLASS};
    InitCommonControlsEx(&icc);
    ui::init_ui_thread();
    // 2 to 4. Application-wide state, exit routine, GDI+.
    start_program();
    // 5. The main window; its creation handler runs while it loads.
    load_main_window();
    // 6. Until end_program is called or the last window is gone.
    end_program(run_message_loop());
}
