#include "ui/accessible_win.h"

#include "ui/gbk_win.h"

#include <commctrl.h>
#include <ole2.h>
#include <oleacc.h>

#include <climits>
#include <string>

// What a screen reader learns about our own controls. Their window classes are
// unknown to it, so each control answers WM_GETOBJECT with a small object that
// gives its role, name, state and value, and leaves position, parent and
// navigation to the system's standard object for the window.
namespace ui::detail {

namespace {

// Spelt out: some import libraries carry a wrong IID_IAccessible.
const GUID kIidAccessible = {
    0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The role each kind plays; super buttons in checkbox mode are check buttons.
struct RoleRow {
    ControlKind kind;
    long role;
    long checkbox_role;
};
const RoleRow kRoles[] = {
    {ControlKind::TransparentLabel, ROLE_SYSTEM_STATICTEXT, ROLE_SYSTEM_STATICTEXT},
    {ControlKind::Label, ROLE_SYSTEM_STATICTEXT, ROLE_SYSTEM_STATICTEXT},
    {ControlKind::Edit, ROLE_SYSTEM_TEXT, ROLE_SYSTEM_TEXT},
    {ControlKind::SuperButton, ROLE_SYSTEM_PUSHBUTTON, ROLE_SYSTEM_CHECKBUTTON},
    {ControlKind::Hyperlink, ROLE_SYSTEM_LINK, ROLE_SYSTEM_LINK},
    {ControlKind::ProgressBar, ROLE_SYSTEM_PROGRESSBAR, ROLE_SYSTEM_PROGRESSBAR},
};

const RoleRow* role_row(ControlKind kind) {
    for (const RoleRow& row : kRoles) {
        if (row.kind == kind) {
            return &row;
        }
    }
    return nullptr;
}

bool is_label(const Control& c) {
    return c.def->kind == ControlKind::Label || c.def->kind == ControlKind::TransparentLabel;
}

// An edit box is named by the label on its page that ends left of it on the
// same line (the nearest one).
std::wstring label_for(const Control& edit) {
    Form* f = form_of(edit.form);
    if (!f) {
        return {};
    }
    RECT e;
    GetWindowRect(edit.hwnd, &e);
    const LONG middle = (e.top + e.bottom) / 2;
    const Control* best = nullptr;
    LONG best_right = LONG_MIN;
    for (auto& other : f->controls) {
        if (!other->hwnd || !is_label(*other) || other->page_window != edit.page_window) {
            continue;
        }
        RECT l;
        GetWindowRect(other->hwnd, &l);
        if (l.right <= e.left + 2 && l.top <= middle && middle < l.bottom && l.right > best_right) {
            best = other.get();
            best_right = l.right;
        }
    }
    return best ? window_text(best->hwnd) : std::wstring();
}

long state_of(const Control& c) {
    const HWND h = c.hwnd;
    const unsigned flags = c.def->flags;
    long s = 0;
    if (!IsWindowVisible(h)) {
        s |= STATE_SYSTEM_INVISIBLE;
    }
    if (GetWindowLongPtrW(h, GWL_STYLE) & WS_TABSTOP) {
        s |= STATE_SYSTEM_FOCUSABLE;
    }
    if (GetFocus() == h) {
        s |= STATE_SYSTEM_FOCUSED;
    }
    switch (c.def->kind) {
    case ControlKind::Edit:
        s |= (flags & kPassword) ? STATE_SYSTEM_PROTECTED : 0;
        s |= (flags & kReadOnly) ? STATE_SYSTEM_READONLY : 0;
        break;
    case ControlKind::SuperButton:
        s |= ((flags & kCheckBox) && c.checked) ? STATE_SYSTEM_CHECKED : 0;
        s |= c.hover ? STATE_SYSTEM_HOTTRACKED : 0;
        break;
    case ControlKind::Hyperlink:
        s |= STATE_SYSTEM_LINKED | (c.hover ? STATE_SYSTEM_HOTTRACKED : 0);
        break;
    default:
        // Labels and the progress bar only show; a disabled label is disabled
        // only so that clicks fall through to what lies beneath.
        return s | STATE_SYSTEM_READONLY;
    }
    if (!IsWindowEnabled(h)) {
        s |= STATE_SYSTEM_UNAVAILABLE;
    }
    return s;
}

std::wstring name_of(const Control& c) {
    if (c.def->kind == ControlKind::Edit) {
        return label_for(c);
    }
    // A window button shows a sign ("×"); its tooltip says what it does.
    if (c.def->tooltip) {
        return widen(gbk(c.def->tooltip));
    }
    return window_text(c.hwnd);
}

HRESULT string_result(const std::wstring& s, BSTR* out) {
    if (!out) {
        return E_POINTER;
    }
    *out = nullptr;
    if (s.empty()) {
        return S_FALSE;
    }
    *out = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

bool is_self(const VARIANT& child) {
    return child.vt == VT_I4 && child.lVal == CHILDID_SELF;
}

class ControlAccessible final : public IAccessible {
public:
    ControlAccessible(HWND hwnd, IAccessible* standard) : hwnd_(hwnd), std_(standard) {}
    ControlAccessible(const ControlAccessible&) = delete;
    ControlAccessible& operator=(const ControlAccessible&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, kIidAccessible)) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG n = InterlockedDecrement(&refs_);
        if (n == 0) {
            delete this;
        }
        return static_cast<ULONG>(n);
    }

    // IDispatch: not offered (clients call IAccessible directly).
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        if (n) {
            *n = 0;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    // What the control itself knows.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
        const Control* c = self(child);
        return c ? string_result(name_of(*c), out) : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
        const Control* c = self(child);
        const RoleRow* row = c ? role_row(c->def->kind) : nullptr;
        if (!row || !out) {
            return E_INVALIDARG;
        }
        out->vt = VT_I4;
        out->lVal = (c->def->flags & kCheckBox) ? row->checkbox_role : row->role;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
        const Control* c = self(child);
        if (!c || !out) {
            return E_INVALIDARG;
        }
        out->vt = VT_I4;
        out->lVal = state_of(*c);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
        const Control* c = self(child);
        if (!c) {
            return E_INVALIDARG;
        }
        if (c->def->kind == ControlKind::ProgressBar) {
            // The bar runs from 0 to 1000.
            const auto pos = static_cast<int>(SendMessageW(c->hwnd, PBM_GETPOS, 0, 0));
            return string_result(std::to_wstring(pos / 10) + L"%", out);
        }
        if (c->def->kind == ControlKind::Edit) {
            if (c->def->flags & kPassword) {
                return E_ACCESSDENIED;
            }
            return string_result(window_text(c->hwnd), out);
        }
        return string_result(std::wstring(), out);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
        const Control* c = self(child);
        if (!c) {
            return E_INVALIDARG;
        }
        return string_result(c->def->tooltip ? widen(gbk(c->def->tooltip)) : std::wstring(), out);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
        const Control* c = self(child);
        if (!c) {
            return E_INVALIDARG;
        }
        const bool acts =
            c->def->kind == ControlKind::SuperButton || c->def->kind == ControlKind::Hyperlink;
        return string_result(acts ? L"Press" : L"", out);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        const Control* c = self(child);
        if (!c) {
            return E_INVALIDARG;
        }
        if (c->def->kind != ControlKind::SuperButton && c->def->kind != ControlKind::Hyperlink) {
            return DISP_E_MEMBERNOTFOUND;
        }
        // Posted: the handler may wait on the network, the caller must not.
        PostMessageW(c->hwnd, BM_CLICK, 0, 0);
        return S_OK;
    }

    // Geometry, the tree and the rest: the system's standard object.
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** out) override {
        return std_ ? std_->get_accParent(out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* out) override {
        return std_ ? std_->get_accChildCount(out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        return std_ ? std_->get_accChild(child, out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* out) override {
        return std_ ? std_->get_accHelp(child, out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override {
        return std_ ? std_->get_accHelpTopic(file, child, topic) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* out) override {
        return std_ ? std_->get_accKeyboardShortcut(child, out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
        return std_ ? std_->get_accFocus(out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
        return std_ ? std_->get_accSelection(out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        return std_ ? std_->accSelect(flags, child) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* x, long* y, long* w, long* h,
                                          VARIANT child) override {
        return std_ ? std_->accLocation(x, y, w, h, child) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long dir, VARIANT start, VARIANT* out) override {
        return std_ ? std_->accNavigate(dir, start, out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* out) override {
        return std_ ? std_->accHitTest(x, y, out) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    ~ControlAccessible() {
        if (std_) {
            std_->Release();
        }
    }
    // The control, while its window lives and the question is about it.
    const Control* self(const VARIANT& child) const {
        return is_self(child) ? control_of_window(hwnd_) : nullptr;
    }

    LONG refs_ = 1;
    HWND hwnd_;
    IAccessible* std_;
};

LRESULT CALLBACK accessible_subclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                     DWORD_PTR) {
    if (msg == WM_GETOBJECT && static_cast<LONG>(static_cast<DWORD>(lp)) == OBJID_CLIENT) {
        if (LRESULT r = accessible_object(hwnd, wp)) {
            return r;
        }
    } else if (msg == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, accessible_subclass, id);
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

} // namespace

LRESULT accessible_object(HWND hwnd, WPARAM wp) {
    const Control* c = control_of_window(hwnd);
    if (!c || !role_row(c->def->kind)) {
        return 0;
    }
    // Handing the object over marshals it, which needs an apartment; the UI
    // thread joins one the first time a client asks, for the rest of the run.
    static bool joined = false;
    if (!joined) {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        joined = SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
    }
    void* standard = nullptr;
    if (FAILED(CreateStdAccessibleObject(hwnd, OBJID_CLIENT, kIidAccessible, &standard))) {
        standard = nullptr;
    }
    auto* acc = new ControlAccessible(hwnd, static_cast<IAccessible*>(standard));
    const LRESULT r = LresultFromObject(kIidAccessible, wp, acc);
    acc->Release();
    return r > 0 ? r : 0;
}

void make_accessible(Control& c) {
    if (c.hwnd && role_row(c.def->kind)) {
        SetWindowSubclass(c.hwnd, accessible_subclass, 0, 0);
    }
}

} // namespace ui::detail
