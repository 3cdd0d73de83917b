#!/usr/bin/python3
"""Drives Tavrel's desktop window as a user would, through the accessibility
tree (AT-SPI) and the keyboard (xdotool), on the display and the session bus
it is started on. Started by desktop_window.sh; each scenario starts the
program itself and checks what a user would see.

Usage: drive.py SCENARIO WORKDIR PROGRAM SHOTS
  SCENARIO: mouse | keyboard | tray
"""
import os
import subprocess
import sys
import threading
import time

import pyatspi

scenario, work, program, shots = sys.argv[1:5]
failures = []
running = []  # every program started, ended when the scenario ends
BOUND = 30.0  # seconds any awaited event may take


def say(text):
    print(text, flush=True)


def check(what, ok):
    say(("ok     " if ok else "FAILED ") + what)
    if not ok:
        failures.append(what)
    return ok


def poll(predicate, bound=BOUND):
    end = time.monotonic() + bound
    while time.monotonic() < end:
        try:
            value = predicate()
        except Exception:  # a widget going away while it is read
            value = None
        if value:
            return value
        time.sleep(0.1)
    return None


def children(acc):
    try:
        return [acc.getChildAtIndex(i) for i in range(acc.childCount)]
    except Exception:
        return []


def walk(acc):
    yield acc
    for child in children(acc):
        if child is not None:
            yield from walk(child)


def clean(name):
    return (name or "").replace("_", "")


class App:
    def __init__(self, args, env=None):
        self.process = subprocess.Popen([program] + args, cwd=work, env=env or os.environ.copy(),
                                        stdout=open(os.path.join(work, "program.out"), "a"),
                                        stderr=subprocess.STDOUT)
        running.append(self)

    def root(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in children(desktop):
            try:
                if app is not None and app.get_process_id() == self.process.pid:
                    return app
            except Exception:
                continue
        return None

    def frames(self):
        root = self.root()
        if root is None:
            return []
        return [f for f in children(root) if f is not None and f.getState().contains(pyatspi.STATE_SHOWING)]

    def frame(self, caption_start, bound=BOUND):
        return poll(lambda: next((f for f in self.frames() if (f.name or "").startswith(caption_start)), None), bound)

    def gone(self, caption_start):
        return poll(lambda: not any((f.name or "").startswith(caption_start) for f in self.frames()))

    def holding(self, role, name=None, bound=BOUND):
        """The shown window that holds such a control."""
        return poll(lambda: next((f for f in self.frames() if find(f, role, name) is not None), None), bound)

    def main(self):
        return self.holding("push button", "Correct")

    def sheet(self):
        return self.holding("page tab list")

    def sheet_gone(self):
        return poll(lambda: not any(find(f, "page tab list") is not None for f in self.frames()))

    def end(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()


def find(top, role, name=None, showing=True):
    for acc in walk(top):
        try:
            if acc.getRoleName() != role:
                continue
            if name is not None and clean(acc.name) != name:
                continue
            if showing and not acc.getState().contains(pyatspi.STATE_SHOWING):
                continue
            return acc
        except Exception:
            continue
    return None


def find_all(top, role, showing=True):
    found = []
    for acc in walk(top):
        try:
            if acc.getRoleName() == role and (not showing or acc.getState().contains(pyatspi.STATE_SHOWING)):
                found.append(acc)
        except Exception:
            continue
    return found


def press(top, name, role="push button"):
    widget = poll(lambda: find(top, role, name))
    if not check(f"'{name}' is there to press", widget is not None):
        raise SystemExit(report())
    widget.queryAction().doAction(0)


def texts(top):
    out = []
    for acc in walk(top):
        try:
            if acc.getRoleName() == "label":
                out.append(acc.name or "")
        except Exception:
            continue
    return "\n".join(out)


def shows(top, text, bound=BOUND):
    return poll(lambda: text in texts(top), bound) is not None


def screenshot(name, frame=None):
    path = os.path.join(shots, f"{scenario}-{name}.png")
    geometry = []
    if frame is not None:
        x, y, w, h = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        geometry = ["-crop", f"{w}x{h}+{x}+{y}"]
    # The pointer out of the way (no tooltip over the window), and a
    # moment for the window to be drawn after it changed.
    subprocess.run(["xdotool", "mousemove", "1279", "1023"], check=False)
    time.sleep(0.5)
    subprocess.run(["import", "-window", "root"] + geometry + [path], check=False)


def texts_fit(frame, what):
    """No control's text is wider (or taller) than the control shows it."""
    bad = []
    fx, fy, fw, fh = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    for acc in walk(frame):
        try:
            role = acc.getRoleName()
            if role not in ("push button", "check box", "radio button", "label", "toggle button", "page tab"):
                continue
            if not acc.getState().contains(pyatspi.STATE_SHOWING):
                continue
            text = acc.queryText()
            n = text.characterCount
            if n == 0:
                continue
            tx, ty, tw, th = text.getRangeExtents(0, n, pyatspi.DESKTOP_COORDS)
            cx, cy, cw, ch = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            if tw <= 0:
                continue
            inside_control = tx >= cx - 1 and tx + tw <= cx + cw + 1 and ty >= cy - 1 and ty + th <= cy + ch + 1
            inside_window = tx >= fx and tx + tw <= fx + fw and ty >= fy and ty + th <= fy + fh
            if not (inside_control and inside_window):
                bad.append(f"{role} '{text.getText(0, n)}' text {tw}x{th}+{tx}+{ty} control {cw}x{ch}+{cx}+{cy}")
        except NotImplementedError:
            continue
        except Exception:
            continue
    check(f"every text in {what} fits its control" + ("" if not bad else ": " + "; ".join(bad[:4])), not bad)


def clock_offset():
    with open(os.path.join(work, "clock")) as f:
        return int(f.read().split()[0]) / 1e7


def set_clock(seconds):
    with open(os.path.join(work, "clock"), "w") as f:
        f.write(f"{int(seconds * 1e7)}\n")


def key(*keys):
    subprocess.run(["xdotool", "key", "--clearmodifiers"] + list(keys), check=True)
    time.sleep(0.2)


def type_text(text):
    subprocess.run(["xdotool", "type", "--delay", "30", text], check=True)


def focus(frame):
    """Gives the window the keyboard focus, as a window manager would on a
    click (the test's display has none)."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + re_escape(frame.name) + "$"],
                           capture_output=True, text=True).stdout.split()
    if found:
        subprocess.run(["xdotool", "windowfocus", "--sync", found[-1]], check=False)
    x, y, w, h = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + 4)], check=True)
    time.sleep(0.3)


def access_key(top, name):
    """The key that presses a button, as its label shows it ("<Alt>p")."""
    button = poll(lambda: find(top, "push button", name))
    binding = button.queryAction().getKeyBinding(0) if button is not None else ""
    letter = binding.split(";")[0].replace("<Alt>", "").replace("<Mod1>", "")
    check(f"'{name}' has an access key", len(letter) == 1)
    return "alt+" + letter.lower()


def re_escape(text):
    import re
    return re.escape(text or "")


def no_root_in(app):
    """The window program and every process it started run without root and
    without the right to set the clock."""
    pids = [app.process.pid]
    try:
        out = subprocess.run(["ps", "-o", "pid=", "--ppid", str(app.process.pid)], capture_output=True, text=True)
        pids += [int(p) for p in out.stdout.split()]
    except Exception:
        pass
    for pid in pids:
        try:
            status = open(f"/proc/{pid}/status").read()
        except OSError:
            continue
        uid = [l for l in status.splitlines() if l.startswith("Uid:")][0].split()[1:]
        caps = int([l for l in status.splitlines() if l.startswith("CapEff:")][0].split()[1], 16)
        if "0" in uid or caps & (1 << 25):  # CAP_SYS_TIME
            return False
    return True


def watch_root(app, stop, seen_root):
    while not stop.is_set() and app.process.poll() is None:
        if not no_root_in(app):
            seen_root.append(True)
        time.sleep(0.05)


def report():
    if failures:
        say(f"{len(failures)} check(s) failed in the {scenario} scenario")
        return 1
    say(f"the {scenario} scenario passed")
    return 0


def exit_through_menu(app, main):
    # The window's popup menu (a right click on it) has Exit.
    x, y, w, h = main.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + 6), "click", "3"], check=True)
    item = poll(lambda: find(app.root(), "menu item", "Exit"))
    if check("a right click on the window opens its menu with Exit", item is not None):
        item.queryAction().doAction(0)
    check("Exit ends the program", poll(lambda: app.process.poll() is not None) is not None)
    check("the program ends with status 0", app.process.returncode == 0)


def mouse_scenario():
    set_clock(5.0)  # 5 s ahead
    app = App([])
    stop, seen_root = threading.Event(), []
    threading.Thread(target=watch_root, args=(app, stop, seen_root), daemon=True).start()
    main = app.main()
    if not check("the desktop window opens", main is not None):
        return
    check("the main window shows Ready", shows(main, "Ready"))
    screenshot("main", main)
    texts_fit(main, "the main window")

    press(main, "Check")
    check("Check shows the difference", shows(main, "Difference found as -"))
    check("a Check leaves the clock as it was", abs(clock_offset() - 5.0) < 0.5)
    press(main, "Correct")
    check("Correct says it corrected the time", shows(main, "Time Corrected by -"))
    check("Correct sets the clock within 1 ms of chronyd's",
          poll(lambda: abs(clock_offset()) < 0.001) is not None)
    check("no process of the window program ran as root or with the right to set the clock", not seen_root)
    calls = open(os.path.join(work, "elevator.calls")).read().splitlines() if os.path.exists(
        os.path.join(work, "elevator.calls")) else []
    check("only the clock change was asked for with more rights, by the window",
          len(calls) == 1 and f"parent={app.process.pid} " in calls[0] and
          f" {program} --apply-clock-change step " in calls[0] and f"uid={os.getuid()}" in calls[0])
    screenshot("corrected", main)

    press(main, "Options")
    sheet = app.sheet()
    if check("Options opens its sheet", sheet is not None):
        tabs = find(sheet, "page tab list")
        names = [clean(t.name) for t in children(tabs)] if tabs else []
        check("the sheet has its four pages", names == ["Servers", "Auto", "System", "Misc"])
        for index, name in enumerate(names):
            tabs.querySelection().selectChild(index)
            page_tab = children(tabs)[index]
            check(f"the {name} page shows", poll(lambda: page_tab.getState().contains(pyatspi.STATE_SELECTED)))
            time.sleep(0.3)
            screenshot(f"options-{name.lower()}", sheet)
            texts_fit(sheet, f"the Options sheet's {name} page")
        tabs.querySelection().selectChild(0)
        # The scan window, sorted by response.
        press(sheet, "Scan")
        scan = app.holding("push button", "Sort by response")
        if check("Scan opens its window", scan is not None):
            table = poll(lambda: find(scan, "table") or find(scan, "tree table"))
            check("the scan window lists the servers", table is not None and poll(lambda: table.childCount > 0))
            sort = poll(lambda: find(scan, "push button", "Sort by response"))
            check("the scan finishes and offers its sort",
                  poll(lambda: sort.getState().contains(pyatspi.STATE_SENSITIVE), 60) is not None)
            press(scan, "Sort by response")
            check("the scan shows the server's SNTP response time",
                  poll(lambda: any(c.name and c.name.strip().isdigit() for c in walk(table))) is not None)
            screenshot("scan", scan)
            focus(scan)
            key("Escape")
            check("Escape closes the scan window",
                  poll(lambda: app.holding("push button", "Sort by response", 0.2) is None) is not None)
        press(sheet, "Manual A", "radio button")
        fields = poll(lambda: [f for f in find_all(sheet, "text") if f.getState().contains(pyatspi.STATE_SENSITIVE)])
        check("Manual A's address fields can be typed in", bool(fields) and len(fields) >= 4)
        # A number above 255 is refused with a message box, which is answered.
        fields[0].queryEditableText().setTextContents("300")
        box = poll(lambda: find(app.root(), "alert"))
        if check("a field over 255 is refused with a message", box is not None):
            check("the message names the number", "300 is not a valid entry" in texts(box) + (box.name or ""))
            screenshot("message-box", box)
            press(box, "OK")
            check("the message box goes when answered", poll(lambda: find(app.root(), "alert") is None))
        for field, number in zip(fields[:4], ["127", "0", "0", "1"]):
            field.queryEditableText().setTextContents(number)
        press(sheet, "OK")
        check("OK closes the sheet", app.sheet_gone())

    press(main, "Options")
    sheet = app.sheet()
    if check("Options opens again", sheet is not None):
        manual = poll(lambda: find(sheet, "radio button", "Manual A"))
        check("the typed address was saved with Manual A chosen",
              manual is not None and manual.getState().contains(pyatspi.STATE_CHECKED))
        typed = [f.queryText().getText(0, -1) for f in find_all(sheet, "text")][:4]
        check("the address reads back as typed", typed == ["127", "0", "0", "1"])
        press(sheet, "Cancel")
        app.sheet_gone()

    press(main, "Time Zone")
    zone = app.frame("Time Zone")
    if check("Time Zone opens its dialog", zone is not None):
        screenshot("time-zone", zone)
        texts_fit(zone, "the Time Zone dialog")
        press(zone, "OK")
        check("OK closes the Time Zone dialog", app.gone("Time Zone"))

    press(main, "About")
    about = poll(lambda: next((f for f in app.frames() if (f.name or "").startswith("About")), None))
    if check("About opens", about is not None):
        screenshot("about", about)
        texts_fit(about, "About")
        press(about, "OK")
        check("About's OK closes it", app.gone("About"))

    # History from the window's menu.
    x, y, w, h = main.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + 6), "click", "3"], check=True)
    item = poll(lambda: find(app.root(), "menu item", "History"))
    if check("the window's menu has History", item is not None):
        item.queryAction().doAction(0)
        history = app.frame("Clock History")
        if check("History opens", history is not None):
            import re
            counts = poll(lambda: [int(n) for n in re.findall(r"\((\d+) replies\)", texts(history))])
            check("History charts the Check's and the Correct's replies", bool(counts) and min(counts) >= 2)
            screenshot("history", history)
            texts_fit(history, "History")
            press(history, "OK")
            app.gone("Clock History")

    exit_through_menu(app, main)
    stop.set()


def keyboard_scenario():
    set_clock(-3.0)
    app = App([])
    main = app.main()
    if not check("the desktop window opens", main is not None):
        return
    check("the main window shows Ready", shows(main, "Ready"))
    focus(main)
    key("Return")
    check("Enter runs a Check", shows(main, "Difference found as "))
    key("Tab", "space")
    check("Tab and Space press Correct", shows(main, "Time Corrected by "))
    check("the clock is corrected within 1 ms", poll(lambda: abs(clock_offset()) < 0.001) is not None)
    key(access_key(main, "Options"))
    sheet = app.sheet()
    if check("Options' access key opens it", sheet is not None):
        focus(sheet)
        key("ctrl+Page_Down")
        tabs = find(sheet, "page tab list")
        check("Ctrl-PgDn goes to the next page",
              poll(lambda: children(tabs)[1].getState().contains(pyatspi.STATE_SELECTED)) is not None)
        key("Escape")
        check("Escape cancels the sheet", app.sheet_gone())
    focus(main)
    key(access_key(main, "About"))
    about = poll(lambda: next((f for f in app.frames() if (f.name or "").startswith("About")), None))
    if check("About's access key opens it", about is not None):
        focus(about)
        key("Return")
        check("Enter closes About", app.gone("About"))
    focus(main)
    key("Escape")
    check("Escape in the main window ends the program", poll(lambda: app.process.poll() is not None) is not None)


def large_scenario():
    """Every window whole at a large font (GDK_DPI_SCALE, set by the caller)."""
    app = App([])
    main = app.main()
    if not check("the desktop window opens at a large font", main is not None):
        return
    check("the main window shows Ready", shows(main, "Ready"))
    screenshot("main", main)
    texts_fit(main, "the main window")
    press(main, "Options")
    sheet = app.sheet()
    if check("Options opens", sheet is not None):
        tabs = find(sheet, "page tab list")
        for index, tab in enumerate(children(tabs)):
            name = clean(tab.name)
            tabs.querySelection().selectChild(index)
            poll(lambda: tab.getState().contains(pyatspi.STATE_SELECTED))
            screenshot(f"options-{name.lower()}", sheet)
            texts_fit(sheet, f"the Options sheet's {name} page")
        press(sheet, "Cancel")
        app.sheet_gone()
    for button, caption, close in (("Time Zone", "Time Zone", "OK"), ("About", "About", "OK")):
        press(main, button)
        window = app.frame(caption)
        if check(f"{button} opens", window is not None):
            screenshot(caption.lower().replace(" ", "-"), window)
            texts_fit(window, caption)
            press(window, close)
            app.gone(caption)
    exit_through_menu(app, main)


def notray_scenario():
    """A desktop without a tray host: "/s" (start in the tray) shows the
    window minimised instead, and the status line says why."""
    app = App(["/s"])
    main = app.main()
    if check("/s without a tray host leaves the window reachable", main is not None):
        check("the status line says the desktop has no notification area",
              shows(main, "No notification area on this desktop"))
        exit_through_menu(app, main)


class Watcher:
    """The test's own StatusNotifierWatcher (watcher.py), in a process of its
    own on the scenario's session bus."""

    def __init__(self):
        import dbus
        self.file = os.path.join(work, "watcher.log")
        open(self.file, "w").close()
        self.process = subprocess.Popen(["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "watcher.py"),
                                         self.file])
        check("the test's tray host starts", poll(lambda: "ready" in open(self.file).read()) is not None)
        self.bus = dbus.SessionBus()

    @property
    def items(self):
        return [line.split() for line in open(self.file).read().splitlines() if len(line.split()) == 2]

    def item(self):
        sender, service = self.items[-1]
        name = service if not service.startswith("/") else sender
        return self.bus.get_object(name, "/StatusNotifierItem")

    def prop(self, name):
        import dbus
        return self.item().Get("org.kde.StatusNotifierItem", name, dbus_interface=dbus.PROPERTIES_IFACE)

    def end(self):
        self.process.terminate()


def tray_scenario():
    watcher = Watcher()
    try:
        tray_with(watcher)
    finally:
        watcher.end()


def tray_with(watcher):
    set_clock(4.0)
    # Start minimised with the tray on (Misc: Tray, Minimise): the window
    # goes to the notification area at once.
    app = App([])
    main = app.main()
    if not check("the desktop window opens", main is not None):
        return
    press(main, "Options")
    sheet = app.sheet()
    tabs = find(sheet, "page tab list")
    tabs.querySelection().selectChild(3)
    for name in ("Tray", "Minimise"):
        box = poll(lambda: find(sheet, "check box", name))
        if box is not None and not box.getState().contains(pyatspi.STATE_CHECKED):
            box.queryAction().doAction(0)
    press(sheet, "OK")
    app.sheet_gone()
    exit_through_menu(app, main)

    app = App([])
    check("the window program registers its tray entry with the desktop's watcher",
          poll(lambda: watcher.items) is not None)
    check("the window goes to the tray", poll(lambda: not app.frames(), 10) is not None)
    import dbus
    menu_path = str(poll(lambda: watcher.prop("Menu")))
    sender = watcher.items[-1][0]
    menu = watcher.bus.get_object(sender, menu_path)

    def labels():
        revision, layout = menu.GetLayout(0, -1, ["label"], dbus_interface="com.canonical.dbusmenu")
        found = {}
        for child in layout[2]:
            label = str(child[1].get("label", "")).replace("__", "\0").replace("_", "").replace("\0", "_")
            if label:
                found[label] = int(child[0])
        return found

    items = poll(lambda: labels() if "Exit" in labels() else None)
    check("the tray menu holds the window's menu items",
          items is not None and all(i in items for i in ("Restore", "About", "Help", "History", "Sync Now", "Exit")))
    tip = watcher.prop("ToolTip")
    check("the tray entry has a tooltip", tip is not None and len(str(tip[2])) > 0)
    say(f"       tooltip: {tip[2]!s} / {tip[3]!s}")
    if items:
        menu.Event(items["Sync Now"], "clicked", dbus.String("", variant_level=1), dbus.UInt32(0),
                   dbus_interface="com.canonical.dbusmenu")
        check("Sync Now from the tray menu corrects the clock", poll(lambda: abs(clock_offset()) < 0.001) is not None)
        tip2 = poll(lambda: watcher.prop("ToolTip") if "Corrected" in str(watcher.prop("ToolTip")[3]) else None)
        check("the tooltip then says the clock is synchronised, corrected from the server",
              tip2 is not None and str(tip2[3]).startswith("Synchronised") and "from 127.0.0.1" in str(tip2[3]))
        if tip2 is not None:
            say(f"       tooltip after: {tip2[2]!s} / {tip2[3]!s}")
    watcher.item().Activate(0, 0, dbus_interface="org.kde.StatusNotifierItem")
    main = app.main()
    check("a click on the entry brings the window back", main is not None)
    if main is not None:
        screenshot("restored", main)
        exit_through_menu(app, main)


try:
    {"mouse": mouse_scenario, "keyboard": keyboard_scenario, "tray": tray_scenario,
     "large": large_scenario, "notray": notray_scenario}[scenario]()
finally:
    for started in running:
        started.end()
sys.exit(report())
