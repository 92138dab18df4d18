"""The real quelmo on an X screen with a system tray, read through the accessibility bus:
launching and the first launch's notice, the global shortcut, the panel's and the tray's
menus, Launch at Login, About and Privacy, and the diagnostics window."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import Failure  # noqa: E402

NOTICE = "Quelmo indexes the files this account can read"
WARNING = ("Shortcut unavailable; use the tray icon, launch Quelmo again, or select another "
           "shortcut.")
TOP_ITEMS = ["Show Quelmo", "Verify Index", "Reindex Computer", "Options", "Quit Quelmo"]
OPTIONS = ["Exclude Folders", "Clear Custom Exclusions", "Index Coverage", "Keyboard Shortcut",
           "Launch at Login", "About Quelmo", "Privacy", "Check for Updates",
           "Automatically Check for Updates", "Send Diagnostics", "Open Debug Log"]


def panel_showing(d):
    return d.find("text", "Search") is not None


def poll_showing(d, seconds):
    return desktop.poll(lambda: (d._pump(), panel_showing(d))[1], seconds)


def wait_for_log(d, quelmo, text, failure):
    d.wait(lambda: quelmo.log_count(text), failure, seconds=120)


def launch_again(d):
    """A second launch hands over to the running copy and ends at once."""
    again = d.start()
    status = again.process.wait(desktop.WAIT_SECONDS)
    if status != 0:
        raise Failure(f"a second launch exited with {status}")


def tray_menu(d, icon, before_keys=lambda: None):
    """The tray's menu, opened by a right click on the icon; its first item is selected with
    a key, so that it takes the focus and is found on the bus. `before_keys` runs first.
    A click right after a modal alert closes can be refused while the alert's event loop
    unwinds (on a loaded machine a right click was): the user's next click is then taken."""
    for attempt in range(3):
        d.click(*icon, button=3)
        d.run("xdotool", "mousemove", "0", str(desktop.SCREEN[1] - 1))  # off the menu
        before_keys()
        try:
            return d.focused_after(lambda: d.key("Down"), "the tray menu took no keys",
                                   desktop.WAIT_SECONDS / 3).parent
        except Failure:
            if attempt == 2:
                raise
            d.key("Escape")  # a menu that opened but took no key is closed first


def close_alert(d, text):
    """The alert that says `text` (a pattern), closed with its OK button; its labels."""
    pattern = re.compile(text)
    alert = d.wait(lambda: next((window for window in d.windows()
                                 if window.getRoleName() == "alert"
                                 and d.find("label", pattern, within=window)), None),
                   f"no alert saying {text!r}")
    said = [label.name for label in d.find_all("label", within=alert)]
    d.press(d.find("push button", "OK", within=alert))  # answered once the alert closed
    d.wait(lambda: not d.showing(alert), "the alert stayed open")
    return said


def test_first_launch_then_no_window_at_launch(d):
    version = d.run(d.quelmo, "--version")
    if not re.match(r"^Quelmo .+ \(.+\) • .+ • .+$", version):
        raise Failure(f"bad --version: {version!r}")
    os.makedirs(os.path.join(d.tree, "docs"))
    open(os.path.join(d.tree, "docs", "quarterly-report.pdf"), "w").close()

    quelmo = d.launch()
    d.wait_for("label", NOTICE, "the first launch showed no notice")
    if panel_showing(d) or len(d.windows()) != 1:
        raise Failure("the first launch showed more than its notice")
    # Quitting with the notice open: it was shown, and is not shown again.
    quelmo.stop()

    quelmo = d.launch()
    wait_for_log(d, quelmo, " scan installed items=", "the later launch built no index")
    if d.windows():
        raise Failure(f"a window showed at launch: {[w.name for w in d.windows()]}")

    launch_again(d)
    d.wait(lambda: panel_showing(d), "a second launch did not show the panel")
    d.type("quarterly")
    d.wait_for("table cell", re.compile(r"^quarterly-report\.pdf, file, in "),
               "the result is not announced with its name, kind and folder")
    d.key("ctrl+a")
    d.type("docs")
    d.wait_for("table cell", re.compile(r"^docs, folder, in /"), "the folder row is not named")
    # The menu key opens the selected result's menu, not the search field's editing menu.
    menu = d.open_menu("Menu")
    if list(d.items(menu, shown=True)) != ["Open", "Show in Folder", "Copy Path"]:
        raise Failure(f"the menu key opened {list(d.items(menu, shown=True))}")
    d.close_with_escape(menu)

    # The notice that Quelmo went inactive as Escape hid the panel may come after the next
    # launch has shown it again: the panel stays all the same.
    for _ in range(4):
        d.key("Escape")
        d.wait(lambda: not panel_showing(d), "Escape did not hide the panel")
        launch_again(d)
        d.wait(lambda: panel_showing(d), "after Escape, launching again did not show the panel")
    # Turning to another application hides it.
    d.start_program("xmessage", "another application")
    other = d.run("xdotool", "search", "--sync", "--onlyvisible", "--class", "xmessage").split()[0]
    d.run("xdotool", "windowfocus", other)
    d.wait(lambda: not panel_showing(d), "turning to another application did not hide the panel")
    quelmo.stop()


def test_the_shortcut_and_its_choices(d):
    # A choice out of range reads as the first.
    d.settings(didShowFullDiskAccessOnboarding=True, shortcutChoice=7)
    quelmo = d.launch()
    d.key("alt+space")
    d.wait(lambda: panel_showing(d), "Alt+Space did not show the panel")
    menu = d.panel_menu()
    shortcut = d.submenu(d.submenu(menu, "Options"), "Keyboard Shortcut")
    checked = [name for name, item in d.items(shortcut).items() if d.checked(item)]
    if checked != ["Alt+Space"]:
        raise Failure(f"with an unknown choice, {checked} is checked")
    d.close_with_escape(menu)
    d.key("alt+space")
    d.wait(lambda: not panel_showing(d), "Alt+Space did not hide the panel")

    # "Disabled" gives the key back to the desktop.
    d.key("alt+space")
    d.wait(lambda: panel_showing(d), "Alt+Space did not show the panel again")
    d.choose(d.panel_menu(), "Options", "Keyboard Shortcut", "Disabled")
    holder = d.hold_key()
    if not holder.held:
        raise Failure("Disabled did not free Alt+Space for other programs")

    # Taken by another program: the status says so, and another choice works at once.
    d.choose(d.panel_menu(), "Options", "Keyboard Shortcut", "Alt+Space")
    d.wait(lambda: d.find("label", re.compile(" • " + re.escape(WARNING) + "$")),
           "a taken shortcut gave no warning in the panel's status")
    d.choose(d.panel_menu(), "Options", "Keyboard Shortcut", "Ctrl+Alt+Space")
    d.wait(lambda: not d.find("label", re.compile(re.escape(WARNING))),
           "the warning stayed after choosing a free shortcut")
    d.key("Escape")
    d.wait(lambda: not panel_showing(d), "Escape did not hide the panel")
    d.key("ctrl+alt+space")
    d.wait(lambda: panel_showing(d), "Ctrl+Alt+Space did not show the panel")
    holder.release()
    quelmo.stop()


def read_menu(d, name, crop):
    return " ".join(d.read_screen(crop, name).split())


def in_order(text, items, what):
    at = 0
    for item in items:
        found = text.find(item, at)
        if found < 0:
            raise Failure(f"{what}: {item!r} not read in order from the screen: {text!r}")
        at = found + len(item)


def test_the_tray_menu_and_its_options(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    quelmo = d.launch()
    icon = d.wait(d.tray_icon, "no tray icon showed")
    width = desktop.SCREEN[0]
    # Read before a key selects an item, which a high threshold would lose (white on blue).
    read = []
    menu = tray_menu(d, icon, lambda: read.append(d.wait(
        lambda: (lambda text: "Quit Quelmo" in text and text)(
            read_menu(d, "tray-menu", (width - 420, 0, 420, 220))),
        "the tray menu did not open")))
    in_order(read[0], TOP_ITEMS, "tray menu")
    # An action that reaches the menu while it is still being placed can be lost: ask again.
    tries = iter(range(1000))
    d.wait(lambda: d.showing(d.submenu(menu, "Options"))
           or (next(tries) % 20 == 0 and d.open_submenu(d.item(menu, "Options"))),
           "the Options menu did not open")
    d.wait(lambda: "Open Debug Log" in read_menu(d, "tray-options", (width - 820, 0, 820, 420)),
           "the Options menu was not drawn")
    in_order(read_menu(d, "tray-options", (width - 820, 0, 820, 420)), OPTIONS, "Options menu")
    d.key("Escape")
    d.close_with_escape(menu)

    # Launch at Login writes a desktop entry that starts this very program, and removes it.
    entry = os.path.join(d.config, "autostart", "quelmo.desktop")
    d.choose(tray_menu(d, icon), "Options", "Launch at Login")
    d.wait(lambda: os.path.exists(entry), "Launch at Login wrote no autostart entry")
    program = d.run(sys.executable, "-c",
                    "import sys, gi; gi.require_version('Gio', '2.0');"
                    "from gi.repository import Gio;"
                    "print(Gio.DesktopAppInfo.new_from_filename(sys.argv[1]).get_executable())",
                    entry).strip()
    if program != d.quelmo:
        raise Failure(f"the autostart entry starts {program!r}, not {d.quelmo!r}")
    menu = tray_menu(d, icon)
    if not d.checked(d.item(d.submenu(menu, "Options"), "Launch at Login")):
        raise Failure("Launch at Login is not checked while its entry exists")
    d.choose(menu, "Options", "Launch at Login")
    d.wait(lambda: not os.path.exists(entry), "Launch at Login did not remove its entry")
    # An autostart folder that cannot be written to is said so, not passed over.
    os.rmdir(os.path.dirname(entry))
    open(os.path.dirname(entry), "w").close()
    d.choose(tray_menu(d, icon), "Options", "Launch at Login", opens_window=True)
    close_alert(d, "^Could not turn on Launch at Login$")

    # Unconfigured updates are offered, but not enabled.
    menu = tray_menu(d, icon)
    options = d.submenu(menu, "Options")
    for name in ("Check for Updates\u2026", "Automatically Check for Updates"):
        if d.enabled(d.item(options, name)):
            raise Failure(f"{name} is enabled in a build without an update feed")
    d.choose(menu, "Options", "About Quelmo", opens_window=True)
    about = close_alert(d, "^Quelmo$")
    if not any(re.search(r"^Version .+\n.+ • .+ • .+$", text) for text in about):
        raise Failure(f"About says {about}")
    d.choose(tray_menu(d, icon), "Options", "Privacy\u2026", opens_window=True)
    privacy = close_alert(d, "^Quelmo privacy$")
    if not any("debug log" in text and "diagnostic report" in text for text in privacy):
        raise Failure(f"Privacy says {privacy}")

    # The icon's click shows the panel (again and again); the menu's Quit ends Quelmo.
    for _ in range(2):
        # A click right after a modal alert closes can be refused while the alert's event
        # loop unwinds; the user's next click is then taken.
        d.wait(lambda: d.click(*icon) or poll_showing(d, 3),
               "a click on the tray icon did not show the panel")
        d.key("Escape")
        d.wait(lambda: not panel_showing(d), "Escape did not hide the panel")
    d.choose(tray_menu(d, icon), "Quit Quelmo")
    try:
        status = quelmo.process.wait(desktop.WAIT_SECONDS)
    except subprocess.TimeoutExpired:
        raise Failure("Quit Quelmo did not end it")
    if status != 0:
        raise Failure(f"Quit Quelmo ended it with status {status}")


def window_named(d, name):
    return d.wait(lambda: next((window for window in d.windows() if window.name == name), None),
                  f"no window {name!r} showed")


def test_the_diagnostics_window_of_a_build_without_a_service(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    quelmo = d.launch()
    wait_for_log(d, quelmo, " scan installed items=", "no index was built")
    # The log names the indexed folder (and its home), which the report must not; the line
    # that does (the event stream's) comes just after the scan's.
    wait_for_log(d, quelmo, d.tree,
                 "the log never names the tree, so the report's redaction is not tried")
    icon = d.wait(d.tray_icon, "no tray icon showed")
    d.choose(tray_menu(d, icon), "Options", "Send Diagnostics\u2026")
    window = window_named(d, "Send Quelmo diagnostics")
    d.wait_for("label", "Nothing has been sent.", within=window)
    d.wait_for("label", re.compile("^Review the report below. This build sends nothing"),
               within=window)
    report = d.wait_for(None, "Report", within=window)
    text = report.queryText().getText(0, -1)
    if not (text.startswith("Quelmo diagnostics v1\nApp: ") and " scan installed items=" in text
            and " stream created " in text):
        raise Failure(f"the report reads {text[:600]!r}")
    for hidden in (d.work, "quelmo-desktop-", "runtime", "roots="):
        if hidden in text:
            raise Failure(f"the report shows {hidden!r}")
    if d.find("push button", "Send report", within=window):
        raise Failure("a build without a service offers to send")
    d.screenshot("diagnostics-window")

    d.press(d.find("push button", "Copy Report", within=window))
    d.wait_for("label", "Copied. Nothing has been sent.", within=window)
    saved = os.path.join(d.work, "report for the bug.txt")
    d.press(d.find("push button", "Save Report\u2026", within=window), opens_window=True)
    chooser = window_named(d, "Save Quelmo diagnostics")
    d.screenshot("diagnostics-save")
    d.key("ctrl+a")
    d.type(saved)
    d.key("Return")
    d.wait(lambda: not d.showing(chooser), "the file chooser stayed open")
    d.wait_for("label", "Saved. Nothing has been sent.", within=window)
    with open(saved) as file:
        if file.read() != text + "\n":
            raise Failure("the saved report is not the one shown")

    # Asked for again while it is open: the same window; closed, it goes.
    d.choose(tray_menu(d, icon), "Options", "Send Diagnostics\u2026")
    if sum(w.name == "Send Quelmo diagnostics" for w in d.windows()) != 1:
        raise Failure("a second diagnostics window opened")
    d.press(d.find("push button", "Close", within=window))
    d.wait(lambda: not d.showing(window), "Close did not close the window")
    quelmo.stop()


def test_the_tray_menu_stays_on_screen_as_its_status_grows(d):
    # Placed against the right of the screen, an open menu used to widen from its left edge
    # past the screen's when a longer status came, and its submenus opened out of place.
    # Folders made past the watch limit (a stand-in just past the reserve: three watches) make
    # the status long.
    d.settings(didShowFullDiskAccessOnboarding=True)
    d.env["NEXDIR_WATCH_LIMIT"] = "8195"
    try:
        quelmo = d.launch()
    finally:
        del d.env["NEXDIR_WATCH_LIMIT"]
    icon = d.wait(d.tray_icon, "no tray icon showed")
    menu = tray_menu(d, icon)
    ready = "Index ready \u2022 watching for changes"
    status = d.wait(lambda: d.items(menu).get(ready), "the index did not become ready")
    for number in range(5):
        os.makedirs(os.path.join(d.tree, f"new{number}"))
    d.wait(lambda: "checked every" in status.name,
           "the status never said that folders are checked", 60)

    def on_screen():
        x, y, width, height = menu.queryComponent().getExtents(d.atspi.DESKTOP_COORDS)
        return x >= 0 and x + width <= desktop.SCREEN[0]
    d.wait(on_screen, "the tray menu ran past the screen's edge as its status grew")
    d.screenshot("tray-status-grown")
    d.key("Escape")
    quelmo.stop()


desktop.main([test_first_launch_then_no_window_at_launch, test_the_shortcut_and_its_choices,
              test_the_tray_menu_and_its_options,
              test_the_diagnostics_window_of_a_build_without_a_service,
              test_the_tray_menu_stays_on_screen_as_its_status_grows], tray=True)
