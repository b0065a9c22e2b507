#!/usr/bin/python3
"""Password recovery walked through in a real browser (headless Chromium).

A real SMTP relay (smtp_relay.py) and a real server: an account signed up through
the protocol, then in the browser the request form, the answer page, the link taken
from the mail the relay received, the new password's form (once with two different
entries, then right), the done page, the owner's notice of the change and the used
link. Every page is screenshotted
at a phone's width (320 px) and a desktop's (1280 px) and checked: no sideways
scrolling at 320 px, a label for every input, a visible focus, and the forms filled
and sent with the keyboard alone. Then the new password signs in and the old one
does not.

  recovery_browser_test.py --server EXE --relay smtp_relay.py [--screenshots DIR]

DIR also comes from TARNIX_SCREENSHOT_DIR. Exit 77 (skipped) when Chromium or its
driver is not installed; 1 on any failure.
"""
import argparse
import email
import email.policy
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

SKIP = 77
NARROW = {"width": 320, "height": 740, "deviceScaleFactor": 1, "mobile": True}
WIDE = {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False}

ACCOUNT = "walker1"
ADDRESS = "walker1@example.com"
OLD_PASSWORD = "secret1"
NEW_PASSWORD = "newpass1"

# What the pages and the protocol answer (the protocol's in GBK).
SENT = "如果账号与邮箱匹配，重置链接已发送到该邮箱，30分钟内有效"
DONE = "密码已重置，请使用新密码登录"
DIFFER = "两次输入的新密码不一致"
FILL_BOTH = "请填写账号和绑定邮箱"
USED = "此链接已使用过"
SIGN_UP_OK = "注册成功"
SIGN_IN_OK = "ok，欢迎回来"
WRONG = "账号或密码错误"

failures = []


def check(ok, what):
    """A check that lets the walk go on, so every page is still screenshotted."""
    if not ok:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return ok


class Fatal(Exception):
    pass


def need(ok, what):
    if not ok:
        raise Fatal(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def first_line(proc):
    """The process's first line on stdout ("" when it ends first); ctest's timeout
    covers one that hangs."""
    return proc.stdout.readline().decode("utf-8", "replace").strip()


class Protocol:
    """The client's protocol: form POSTs in GBK, answers in GBK."""

    def __init__(self, port):
        self.url = "http://127.0.0.1:%d/tx-client.asp" % port
        # Straight to loopback, whatever proxy the environment names.
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def ask(self, **fields):
        # As the client writes it: "cmd" first, only the account name escaped, every
        # other value byte for byte.
        body = b"&".join(
            k.encode("ascii") + b"=" +
            (urllib.parse.quote(v, safe="", encoding="gbk").encode("ascii") if k == "u"
             else v.encode("gbk")) for k, v in fields.items())
        req = urllib.request.Request(
            self.url, data=body,
            headers={"Content-Type": "application/x-www-form-urlencoded"})
        with self.opener.open(req, timeout=20) as res:
            return res.read().decode("gbk")

    def sign_in(self, name, password):
        challenge = self.ask(cmd="0", u=name)
        proof = hashlib.md5((challenge + password).encode("gbk")).hexdigest()
        return self.ask(cmd="1", u=name, p=proof)


class Mailbox:
    """The relay's Maildir: the mails to one address, newest last."""

    def __init__(self, maildir):
        self.new = os.path.join(maildir, "new")

    def mails(self, to):
        found = []
        if os.path.isdir(self.new):
            for name in os.listdir(self.new):
                path = os.path.join(self.new, name)
                with open(path, "rb") as f:
                    m = email.message_from_binary_file(f, policy=email.policy.default)
                if m["To"] == to:
                    found.append((os.stat(path).st_mtime_ns, m))
        return [m for _, m in sorted(found, key=lambda x: x[0])]

    def wait(self, to, count, seconds=30):
        """The `count`th mail to `to` (counted from 1), waiting for it."""
        end = time.time() + seconds
        while True:
            got = self.mails(to)
            if len(got) >= count:
                return got[count - 1]
            if time.time() >= end:
                raise Fatal("mail %d to %s did not arrive in %d s (%d there)" %
                            (count, to, seconds, len(got)))
            time.sleep(0.2)


def text_of(mail):
    return mail.get_content()  # base64 and UTF-8 undone by the email package


def start_browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    # The program itself rather than Debian's wrapper script.
    binary = "/usr/lib/chromium/chromium"
    opts.binary_location = binary if os.path.exists(binary) else shutil.which("chromium")
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--no-proxy-server", "--lang=zh-CN", "--window-size=1280,900"):
        opts.add_argument(a)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=opts)


class Walk:
    def __init__(self, driver, shots):
        self.d = driver
        self.shots = shots

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def size(self, metrics):
        self.d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)

    def body_text(self):
        return self.js("return document.body.innerText")

    def page(self, name):
        """Screenshots at both widths and checks what a user at 320 px needs."""
        self.size(NARROW)
        width = NARROW["width"]
        # A phone widens its layout to hold a page too wide for it (and shrinks the
        # text), so the window is measured as well as what it holds.
        shown = self.js("return window.innerWidth")
        scroll = self.js("return document.documentElement.scrollWidth")
        check(shown == width, "%s: the narrow window is laid out %d px wide" % (name, shown))
        check(scroll <= width, "%s: %d px of content in a %d px window (sideways scrolling)" %
              (name, scroll, width))
        # Nothing cut off at the edges either (overflow hidden would hide it).
        wider = self.js("""
            const w = arguments[0], out = [];
            for (const e of document.querySelectorAll('body *')) {
              const r = e.getBoundingClientRect();
              if (r.width > 0 && (r.right > w + 0.5 || r.left < -0.5))
                out.push(e.tagName + ' ' + Math.round(r.left) + '..' + Math.round(r.right));
            }
            return out.slice(0, 4);""", width)
        check(not wider, "%s: outside the narrow window: %s" % (name, wider))
        small = self.js("""
            const out = [];
            for (const e of document.querySelectorAll('p, label, a, button, input, h1, span')) {
              const px = parseFloat(getComputedStyle(e).fontSize);
              if (e.getClientRects().length && px < 14) out.push(e.tagName + ' ' + px + 'px');
            }
            return out;""")
        check(not small, "%s: text under 14 px: %s" % (name, small))
        # Big enough for a finger: fields, buttons and links 44 px high.
        tiny = self.js("""
            const out = [];
            for (const e of document.querySelectorAll('input:not([type=hidden]), button, a')) {
              const r = e.getBoundingClientRect();
              if (r.height < 44) out.push(e.tagName + ' ' + Math.round(r.height) + 'px');
            }
            return out;""")
        check(not tiny, "%s: too small to tap: %s" % (name, tiny))
        # Every text at least 4.5:1 against what is behind it (WCAG AA for text under
        # 18.7 px bold), the background found up the tree.
        faint = self.js("""
            const rgb = c => (c.match(/[\\d.]+/g) || []).map(Number);
            const lum = c => {
              const [r, g, b] = c.slice(0, 3).map(v => {
                v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4);
              });
              return 0.2126 * r + 0.7152 * g + 0.0722 * b;
            };
            const behind = e => {
              for (; e; e = e.parentElement) {
                const c = rgb(getComputedStyle(e).backgroundColor);
                if (c.length === 3 || (c.length === 4 && c[3] > 0)) return c;
              }
              return [255, 255, 255];
            };
            const out = [];
            for (const e of document.querySelectorAll('p, label, a, button, input, h1, span, strong')) {
              if (!e.getClientRects().length || !e.innerText && e.tagName !== 'INPUT') continue;
              const a = lum(rgb(getComputedStyle(e).color)), b = lum(behind(e));
              const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
              if (ratio < 4.5) out.push(e.tagName + ' ' + ratio.toFixed(2) + ':1');
            }
            return out;""")
        check(not faint, "%s: text under 4.5:1 contrast: %s" % (name, faint))
        # A field the error is about says so and reads the error with it.
        untied = self.js("""
            const error = document.getElementById('error');
            if (!error) return [];
            const out = [];
            for (const i of document.querySelectorAll('input:not([type=hidden])')) {
              if (i.getAttribute('aria-invalid') === 'true' &&
                  !(i.getAttribute('aria-describedby') || '').split(' ').includes('error'))
                out.push(i.name + ' invalid without the error');
            }
            if (!document.querySelector('input[aria-invalid=true]'))
              out.push('an error that no field is tied to');
            return out;""")
        check(not untied, "%s: %s" % (name, untied))
        self.labels(name)
        self.shot(name)

    def shot(self, name):
        """The page as it is, at both widths (back at the narrow one after)."""
        self.d.save_screenshot(os.path.join(self.shots, "recovery-%s-narrow.png" % name))
        self.size(WIDE)
        self.d.save_screenshot(os.path.join(self.shots, "recovery-%s-wide.png" % name))
        self.size(NARROW)

    def labels(self, name):
        unlabelled = self.js("""
            const out = [];
            for (const i of document.querySelectorAll('input:not([type=hidden]), select, textarea')) {
              const texts = Array.from(i.labels || []).map(l => l.innerText.trim());
              if (!texts.some(t => t.length)) out.push(i.name || i.outerHTML);
            }
            for (const b of document.querySelectorAll('button'))
              if (!b.innerText.trim()) out.push('a button without text');
            return out;""")
        check(not unlabelled, "%s: without a label: %s" % (name, unlabelled))

    def field(self, label):
        """The input that the label with this text names."""
        from selenium.webdriver.common.by import By
        labels = [l for l in self.d.find_elements(By.TAG_NAME, "label")
                  if l.text.strip() == label]
        need(len(labels) == 1, "one label reading %r (found %d)" % (label, len(labels)))
        target = labels[0].get_attribute("for")
        need(target, "the label %r names its input" % label)
        return self.d.find_element(By.ID, target)

    def tab_to(self, element, what):
        """Presses Tab once; the focus must land on `element` and show."""
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys
        ActionChains(self.d).send_keys(Keys.TAB).perform()
        focused = self.d.switch_to.active_element
        need(focused == element, "Tab reaches %s (it is on <%s name=%r>)" %
             (what, focused.tag_name, focused.get_attribute("name")))
        outline = self.js("const s = getComputedStyle(document.activeElement);"
                          "return [s.outlineStyle, parseFloat(s.outlineWidth)]")
        check(outline[0] != "none" and outline[1] >= 2,
              "the focus on %s is not visible (outline %s)" % (what, outline))

    def keys(self, text):
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(self.d).send_keys(text).perform()

    def type_into(self, element, what, text):
        """Tab to the field, type (over what it held: Tab selects it all)."""
        self.tab_to(element, what)
        self.keys(text)
        need(element.get_attribute("value") == text, "%s holds what was typed, not %r" %
             (what, element.get_attribute("value")))

    def submitted(self, key, old_url):
        """Presses `key` and waits for the page the form's answer brings."""
        from selenium.webdriver.support.ui import WebDriverWait
        old = self.d.find_element("tag name", "html")
        self.keys(key)

        def gone(d):
            try:
                old.tag_name
                return False
            except Exception:
                return True
        WebDriverWait(self.d, 20).until(gone, "the form was not sent from " + old_url)


def run(args):
    work = tempfile.mkdtemp(prefix="tarnix-browser-")
    procs = []
    driver = None
    try:
        maildir = os.path.join(work, "Maildir")
        relay = subprocess.Popen(
            ["/usr/bin/python3", args.relay, "--port", "0", "--maildir", maildir,
             "--journal", os.path.join(work, "journal.txt")],
            stdout=subprocess.PIPE, stderr=open(os.path.join(work, "relay.log"), "wb"))
        procs.append(relay)
        ready = first_line(relay)
        need(ready.startswith("ready "), "the relay did not start: %r" % ready)
        relay_port = int(ready.split()[1])

        port = free_port()
        public = "http://127.0.0.1:%d" % port
        db = os.path.join(work, "a.db")
        server_log = os.path.join(work, "server.log")
        server = subprocess.Popen(
            [args.server, "--port", str(port), "--db", db, "--public-url", public,
             "--smtp-url", "smtp://127.0.0.1:%d" % relay_port, "--smtp-allow-plaintext",
             "--mail-from", "Tarnix <no-reply@example.com>"],
            stdout=subprocess.PIPE, stderr=open(server_log, "wb"))
        procs.append(server)
        listening = first_line(server)
        need(":%d/" % port in listening, "the server did not start: %r (log %s)" %
             (listening, open(server_log, encoding="utf-8", errors="replace").read()))

        wire = Protocol(port)
        mailbox = Mailbox(maildir)
        code = wire.ask(cmd="9", emily=ADDRESS)
        need(len(code) == 6, "a sign-up code, not %r" % code)
        need(code in text_of(mailbox.wait(ADDRESS, 1)), "the code is in the code mail")
        need(wire.ask(cmd="2", u=ACCOUNT, p=OLD_PASSWORD, q=ADDRESS) == SIGN_UP_OK, "signed up")
        need(wire.sign_in(ACCOUNT, OLD_PASSWORD) == SIGN_IN_OK, "the first password signs in")

        driver = start_browser()
        walk = Walk(driver, args.screenshots)
        walk.size(NARROW)

        # The request form, filled by its labels and sent with Enter: first with
        # blanks only (the browser lets them through, the server does not), then right.
        from selenium.webdriver.common.keys import Keys
        driver.get(public + "/account/reset")
        need("找回密码" in driver.title, "the request form's title, not %r" % driver.title)
        walk.page("request")
        for name, mail in (("  ", "  "), (ACCOUNT, ADDRESS)):
            account = walk.field("账号")
            address = walk.field("绑定邮箱")
            walk.type_into(account, "the account field", name)
            walk.type_into(address, "the address field", mail)
            if name == ACCOUNT:
                walk.shot("request-filled")
            walk.submitted(Keys.ENTER, driver.current_url)
            if name != ACCOUNT:
                need(FILL_BOTH in walk.body_text(), "blanks are refused: " + walk.body_text())
                walk.page("request-refused")
        need(SENT in walk.body_text(), "the answer page says: " + walk.body_text())
        walk.page("sent")

        mail = mailbox.wait(ADDRESS, 2)
        check("密码重置" in mail["Subject"], "the link's mail: " + mail["Subject"])
        body = text_of(mail)
        links = re.findall(re.escape(public) + r"/account/reset/[A-Za-z0-9_-]{43}", body)
        need(len(links) == 1, "one link in the mail: " + body)
        link = links[0]

        # The new password's form: first two different entries, then the same twice,
        # each time sent from the button reached by Tab.
        driver.get(link)
        need(ACCOUNT in walk.body_text(), "the form names the account: " + walk.body_text())
        walk.page("new-password")
        for first, again in ((NEW_PASSWORD, NEW_PASSWORD + "x"), (NEW_PASSWORD, NEW_PASSWORD)):
            password = walk.field("新密码")
            repeat = walk.field("再次输入新密码")
            walk.type_into(password, "the new password", first)
            walk.type_into(repeat, "the repeated password", again)
            walk.tab_to(driver.find_element("css selector", "button[type=submit]"), "the button")
            if first == again:
                walk.shot("new-password-filled")
            walk.submitted(Keys.ENTER, driver.current_url)
            if first != again:
                need(DIFFER in walk.body_text(), "the form says they differ: " + walk.body_text())
                walk.page("passwords-differ")
        need(DONE in walk.body_text(), "the done page says: " + walk.body_text())
        walk.page("done")

        # The owner is told, with the way back to the request form.
        notice = mailbox.wait(ADDRESS, 3)
        check("密码已修改" in notice["Subject"], "the change's notice: " + notice["Subject"])
        check(ACCOUNT in text_of(notice) and
              re.search(re.escape(public + "/account/reset") + r"\s", text_of(notice)),
              "the notice names the account and the request form: " + text_of(notice))

        driver.get(link)
        need(USED in walk.body_text(), "a used link says so: " + walk.body_text())
        walk.page("used-link")

        check(wire.sign_in(ACCOUNT, NEW_PASSWORD) == SIGN_IN_OK, "the new password signs in")
        check(wire.sign_in(ACCOUNT, OLD_PASSWORD) == WRONG, "the old password is refused")

        server.terminate()
        check(server.wait(20) == 0, "the server stopped cleanly")
        log = open(server_log, encoding="utf-8", errors="replace").read()
        check(link.rsplit("/", 1)[1] not in log, "the token is not in the server's log")
    except Fatal as e:
        failures.append(str(e))
        print("FAIL: " + str(e), flush=True)
    finally:
        if driver:
            driver.quit()
        for p in procs:
            if p.poll() is None:
                p.kill()
            p.wait()
        if failures:
            print("kept for a look: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--server", required=True)
    p.add_argument("--relay", required=True)
    p.add_argument("--screenshots", default=os.environ.get("TARNIX_SCREENSHOT_DIR", ""))
    args = p.parse_args()
    if not shutil.which("chromium") or not shutil.which("chromedriver"):
        print("skipped: chromium and chromium-driver are not installed")
        return SKIP
    if not args.screenshots:
        args.screenshots = os.path.join(tempfile.gettempdir(), "tarnix-screenshots")
    os.makedirs(args.screenshots, exist_ok=True)
    run(args)
    if failures:
        print("%d failure(s)" % len(failures))
        return 1
    print("screenshots in " + args.screenshots)
    return 0


if __name__ == "__main__":
    sys.exit(main())
