#include "ui/controls_win.h"
#include "ui/forms_win.h"

#include <gtest/gtest.h>

namespace {

using K = ui::ControlKind;

// A form whose second page is built after the form shows.
const ui::FormDef& paged_form() {
    static const ui::FormDef def = [] {
        ui::FormDef d{L"DeferredControlsForm", "paged", 200, 150};
        d.controls = {
            {"pages", K::PageContainer, nullptr, -1, 0, 0, 200, 150},
            {"first", K::Label, "pages", 0, 10, 10, 80, 20, "one"},
            {"box", K::PictureBox, "pages", 1, 10, 40, 100, 30},
            {"second", K::Label, "box", -1, 0, 0, 80, 20, "two"},
        };
        d.defer_hidden_pages = true;
        return d;
    }();
    return def;
}

} // namespace

// A control on a deferred page that is changed before the page's controls are
// created keeps the change: looking it up creates them first.
TEST(DeferredControls, AChangeBeforeTheirCreationIsKept) {
    HWND form = ui::build_form(paged_form());
    ASSERT_NE(form, nullptr);
    EXPECT_NE(ui::control(form, "first"), nullptr);

    ui::set_text(form, "second", "changed");
    EXPECT_EQ(ui::text(form, "second"), "changed");
    HWND second = ui::control(form, "second");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetParent(second), ui::control(form, "box"));
    wchar_t shown[32] = {};
    GetWindowTextW(second, shown, 32);
    EXPECT_STREQ(shown, L"changed");

    ui::create_deferred_controls(form); // nothing left: the same windows
    EXPECT_EQ(ui::control(form, "second"), second);
    DestroyWindow(form);
}
