"""A desktop of its own, for testing the real quelmo as a user meets it.

Each run gets a virtual X screen (Xvfb), a D-Bus session with the accessibility bus that
screen readers use, and on request a system tray (trayer, a real XEmbed tray). Quelmo runs
there with its own data, settings and roots in a temporary folder. Windows, buttons and
menus are found and pressed through the accessibility bus (pyatspi), keys and clicks are
typed with xdotool, and what the bus does not list (the tray's menu) is read from a
screenshot with tesseract.

A test script defines functions taking a Desktop and ends with `desktop.main(...)`:

    def test_something(d):
        quelmo = d.launch()
        d.key("alt+space")
        d.wait(lambda: d.find("text", "Search"), "the panel never showed")

Every wait polls for its condition with a generous limit; nothing asserts on elapsed time.
A missing package skips the script (exit status 77, which CTest reports as skipped).
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

SKIPPED = 77
WAIT_SECONDS = 30
SCREEN = (1280, 800)
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
# libatspi's own limits for an answer, in milliseconds (its defaults).
ATSPI_TIMEOUT, ATSPI_STARTUP_TIMEOUT = 800, 15000

# What each facility needs, with the Debian package that brings it.
NEEDED = [
    ("Xvfb", "xvfb"),
    ("dbus-run-session", "dbus-daemon"),
    ("dbus-launch", "dbus-x11"),
    (BUS_LAUNCHER, "at-spi2-core"),
    ("trayer", "trayer"),
    ("xdotool", "xdotool"),
    ("xmessage", "x11-utils"),
    ("import", "imagemagick"),
    ("convert", "imagemagick"),
    ("tesseract", "tesseract-ocr"),
    ("setpriv", "util-linux"),
]


class Failure(Exception):
    pass


def missing_packages():
    missing = [package for program, package in NEEDED
               if not (shutil.which(program) or os.access(program, os.X_OK))]
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        missing.append("python3-pyatspi")
    return sorted(set(missing))


def poll(condition, seconds=WAIT_SECONDS, every=0.1):
    """The condition's first true value, or None when it stays false for `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            value = condition()
        except Exception:  # an object that went away while it was read: ask again
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            return None
        time.sleep(every)


class KeyHolder:
    """Another X client that holds a key combination, as a desktop's own shortcut would:
    Alt (Mod1) plus `control`, with Space. `held` says whether the server gave it."""

    MOD1, CONTROL = 1 << 3, 1 << 2

    def __init__(self, display, control=False):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XKeysymToKeycode.restype = ctypes.c_ubyte
        x.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong,
                               ctypes.c_int, ctypes.c_int, ctypes.c_int]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.errors = []
        # Xlib's own handler ends the process on the server's refusal; this one notes it.
        handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        self._handler = handler_type(lambda display, error: self.errors.append(error) or 0)
        x.XSetErrorHandler(self._handler)
        self.x = x
        self.display = x.XOpenDisplay(display.encode())
        if not self.display:
            raise Failure("could not open the display to hold a key")
        space = x.XKeysymToKeycode(self.display, 0x20)
        modifiers = self.MOD1 | (self.CONTROL if control else 0)
        x.XGrabKey(self.display, space, modifiers, x.XDefaultRootWindow(self.display), 1, 1, 1)
        x.XSync(self.display, 0)
        self.held = not self.errors

    def release(self):
        if self.display:
            self.x.XCloseDisplay(self.display)
            self.display = None


class Quelmo:
    """One running quelmo, started by Desktop.launch."""

    def __init__(self, process, log):
        self.process = process
        self.log = log

    def log_count(self, text):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as lines:
                return sum(text in line for line in lines)
        except FileNotFoundError:
            return 0

    def stop(self):
        """Quits it as the session would (SIGTERM); it must end cleanly."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("quelmo did not end after SIGTERM")
        if status != 0:
            raise Failure(f"quelmo exited with status {status}")


class Desktop:
    """The screen, the buses and the tray, shared by the tests of one script; each test
    begins with `begin()`, which gives Quelmo a new home (data, settings, roots, log)."""

    def __init__(self, quelmo, tray):
        import pyatspi
        self.atspi = pyatspi
        self.quelmo = quelmo
        self.root = tempfile.mkdtemp(prefix="quelmo-desktop-")
        self.helpers = []  # processes of the desktop itself, stopped last
        self.launched = []
        self.env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
        self.tests = 0
        try:
            self._start_desktop(tray)
        except BaseException:
            # Nothing of a desktop that did not start may outlive the script.
            self.close()
            raise

    def _start_desktop(self, tray):
        self._start_display()
        os.environ["DISPLAY"] = self.env["DISPLAY"]
        self._start(BUS_LAUNCHER, "--launch-immediately")
        # Qt looks for the accessibility bus once, as it starts: it must be there first.
        self.wait(lambda: subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
             "org.a11y.Bus.GetAddress"], capture_output=True).returncode == 0,
            "the accessibility bus did not start")
        if tray:
            # On a loaded machine trayer now and then never maps its panel; a second one does.
            for attempt in range(2):
                self._start("trayer", "--edge", "top", "--align", "right", "--widthtype",
                            "request", "--height", "24", "--transparent", "false")
                if poll(self._tray_panel, WAIT_SECONDS / 2):
                    break
                stuck = self.helpers.pop()
                stuck.kill()
                stuck.wait()
            else:
                raise Failure("trayer did not start")

    def begin(self):
        """A new home for Quelmo: nothing indexed, no settings, an empty tree to index."""
        self.tests += 1
        self.work = os.path.join(self.root, str(self.tests))
        self.tree = os.path.join(self.work, "tree")
        self.config = os.path.join(self.work, "config")
        self.log = os.path.join(self.work, "debug.log")
        runtime = os.path.join(self.work, "runtime")
        os.makedirs(self.tree)
        os.makedirs(runtime, mode=0o700)
        self.env.update(XDG_DATA_HOME=os.path.join(self.work, "data"),
                        XDG_CONFIG_HOME=self.config,
                        XDG_RUNTIME_DIR=runtime,
                        NEXDIR_ROOTS=self.tree,
                        NEXDIR_DEBUG_LOG_PATH=self.log)

    def end(self):
        """Ends what the test left running of Quelmo."""
        for quelmo in self.launched:
            if quelmo.process.poll() is None:
                quelmo.process.kill()
                quelmo.process.wait()
        self.launched = []
        self.wait(lambda: self.application() is None, "quelmo stayed on the accessibility bus")

    # The desktop.

    def _start(self, *command):
        self.helpers.append(subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL,
                                             stderr=subprocess.DEVNULL))

    def start_program(self, *command):
        """Another program on this desktop, ended with it."""
        self._start(*command)

    def _start_display(self):
        read, write = os.pipe()
        self.helpers.append(subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "%dx%dx24" % SCREEN,
             "-nolisten", "tcp"], pass_fds=[write], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        os.close(write)
        with os.fdopen(read) as answer:
            number = answer.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number

    def close(self):
        try:
            if self.launched:
                self.end()
        finally:
            for helper in reversed(self.helpers):
                helper.terminate()
                try:
                    helper.wait(10)
                except subprocess.TimeoutExpired:
                    helper.kill()
            shutil.rmtree(self.root, ignore_errors=True)

    def settings(self, **values):
        """Writes Quelmo's settings file as a user's earlier sessions left it."""
        folder = os.path.join(self.config, "Quelmo")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "Quelmo.conf"), "w") as file:
            file.write("[General]\n")
            for key, value in values.items():
                file.write(f"{key}={str(value).lower() if isinstance(value, bool) else value}\n")

    def launch(self, unprivileged=False):
        """Starts quelmo and waits until its launch is complete (its shortcut taken, its
        tray icon shown). It is on the accessibility bus from its first window on. With
        `unprivileged`, it may not read past file permissions (see `start`)."""
        done = Quelmo(None, self.log).log_count(" launch complete ")
        quelmo = self.start(unprivileged)
        self.wait(lambda: quelmo.log_count(" launch complete ") > done
                  or quelmo.process.poll() is not None, "quelmo did not complete its launch")
        if quelmo.process.poll() is not None:
            raise Failure(f"quelmo ended at launch with status {quelmo.process.returncode}")
        return quelmo

    def start(self, unprivileged=False):
        command = [self.quelmo]
        if unprivileged and os.geteuid() == 0:
            # Root reads every folder, so it meets none it cannot read. Quelmo runs as root
            # still (another user could not reach this session's buses) but without the
            # capabilities that pass over file permissions, as any other user would.
            command = ["setpriv", "--inh-caps=-all", "--bounding-set=-" + ",-".join(
                ["dac_override", "dac_read_search", "fowner"]), *command]
        process = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        quelmo = Quelmo(process, self.log)
        self.launched.append(quelmo)
        return quelmo

    def run(self, *command, check=True):
        return subprocess.run(command, env=self.env, check=check, capture_output=True,
                              text=True).stdout

    def hold_key(self, control=False):
        return KeyHolder(self.env["DISPLAY"], control)

    def key(self, *keys):
        self.run("xdotool", "key", "--clearmodifiers", *keys)

    def type(self, text):
        self.run("xdotool", "type", "--delay", "20", text)

    def click(self, x, y, button=1):
        self.run("xdotool", "mousemove", str(x), str(y), "click", str(button))

    def wait(self, condition, failure, seconds=WAIT_SECONDS):
        # libatspi keeps what it read of the application up to date from the application's
        # events, which arrive only while its main loop runs.
        value = poll(lambda: (self._pump(), condition())[1], seconds)
        if not value:
            raise Failure(failure)
        return value

    # The accessibility bus.

    def application(self):
        """Quelmo on the bus, read afresh: libatspi's copy of what it read before is not
        kept up to date for the children of a window shown again."""
        for application in self.atspi.Registry.getDesktop(0):
            if application is not None and application.name == "Quelmo":
                application.clear_cache()
                return application
        return None

    def _state(self, accessible, state):
        return accessible.getState().contains(state)

    def showing(self, accessible):
        return self._state(accessible, self.atspi.STATE_SHOWING)

    def enabled(self, accessible):
        return self._state(accessible, self.atspi.STATE_ENABLED)

    def checked(self, accessible):
        return self._state(accessible, self.atspi.STATE_CHECKED)

    def walk(self, accessible=None, depth=0):
        accessible = accessible or self.application()
        if accessible is None or depth > 12:
            return
        yield accessible
        for index in range(accessible.childCount):
            child = accessible.getChildAtIndex(index)
            if child is not None:
                yield from self.walk(child, depth + 1)

    def find_all(self, role=None, name=None, showing=True, within=None):
        """Objects of the role ("push button", "menu item", ...) whose name is `name` (a
        string, or a compiled pattern searched in it)."""
        found = []
        for accessible in self.walk(within):
            if role and accessible.getRoleName() != role:
                continue
            if name is not None:
                if hasattr(name, "search") and not name.search(accessible.name or ""):
                    continue
                if not hasattr(name, "search") and accessible.name != name:
                    continue
            if showing and not self.showing(accessible):
                continue
            found.append(accessible)
        return found

    def find(self, role=None, name=None, showing=True, within=None):
        found = self.find_all(role, name, showing, within)
        return found[0] if found else None

    def wait_for(self, role, name, failure=None, showing=True, within=None):
        """The object once it shows (searched for again and again: Quelmo joins the bus
        with its first window)."""
        return self.wait(lambda: self.find(role, name, showing, within),
                         failure or f"no {role} {name!r} showed")

    def windows(self):
        """The application's windows that are on the screen."""
        application = self.application()
        if application is None:
            return []
        return [application.getChildAtIndex(index) for index in range(application.childCount)
                if self.showing(application.getChildAtIndex(index))]

    def press(self, accessible, opens_window=False):
        """Presses a button or a menu item. A press that opens a modal window is answered
        only when the window closes: with `opens_window`, no answer is waited for."""
        actions = accessible.queryAction()
        names = [actions.getName(index) for index in range(actions.nActions)]
        wanted = next((name for name in ("Press", "press", "click", "Toggle") if name in names),
                      None)
        if wanted is None:
            raise Failure(f"{accessible.getRoleName()} {accessible.name!r} cannot be pressed "
                          f"(its actions: {names})")
        if not opens_window:
            actions.doAction(names.index(wanted))
            return
        from gi.repository import Atspi, GLib
        Atspi.set_timeout(500, 500)
        try:
            actions.doAction(names.index(wanted))
        except GLib.Error as error:
            if "reply" not in str(error):
                raise
        finally:
            Atspi.set_timeout(ATSPI_TIMEOUT, ATSPI_STARTUP_TIMEOUT)

    def _pump(self):
        from gi.repository import GLib
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)

    def focused_after(self, action, failure, seconds=WAIT_SECONDS):
        """Runs `action` and returns the object that takes the focus then."""
        focused = []

        def listener(event):
            if event.detail1:
                focused.append(event.source)

        event = "object:state-changed:focused"
        self.atspi.Registry.registerEventListener(listener, event)
        try:
            action()
            return self.wait(lambda: focused and focused[-1], failure, seconds)
        finally:
            self.atspi.Registry.deregisterEventListener(listener, event)

    def open_menu(self, *keys):
        """Opens a menu with keys (its first item selected) and returns it. Menus are popups,
        which are not among the application's windows on the bus; their items are found
        through the focus that the first one takes."""
        item = self.focused_after(lambda: self.key(*keys),
                                  f"no menu item took the focus after {' '.join(keys)}")
        return item.parent

    def items(self, menu, shown=False):
        """The items of a menu, as {name: accessible}; separators are left out, and with
        `shown` the items the open menu hides. (Every item of a closed menu counts as
        hidden.)"""
        children = (menu.getChildAtIndex(index) for index in range(menu.childCount))
        return {child.name: child for child in children
                if child is not None and child.getRoleName() != "separator" and child.name
                and (not shown or self._state(child, self.atspi.STATE_VISIBLE))}

    def item(self, menu, name):
        found = self.items(menu).get(name)
        if found is None:
            raise Failure(f"no item {name!r} in the menu: {list(self.items(menu))}")
        return found

    def open_submenu(self, item):
        """Opens the menu an item of an open menu leads to."""
        actions = item.queryAction()
        names = [actions.getName(index) for index in range(actions.nActions)]
        actions.doAction(names.index("ShowMenu") if "ShowMenu" in names else 0)

    def close_with_escape(self, accessible):
        """Closes a menu or a window as a user does, with Escape."""
        self.key("Escape")
        self.wait(lambda: not self.showing(accessible),
                  f"{accessible.name or 'the menu'} stayed open after Escape")

    def panel_menu(self):
        """The panel's menu, opened from the keyboard (F10)."""
        return self.open_menu("F10")

    def choose(self, menu, *path, opens_window=False):
        """Presses the item at `path` ("Options", ..., item) of `menu`, once the menu is
        closed, as a click on it would."""
        item = menu
        for name in path[:-1]:
            item = self.submenu(item, name)
        item = self.item(item, path[-1])
        self.close_with_escape(menu)
        self.press(item, opens_window)

    def submenu(self, menu, name):
        """The menu an item opens: the item's one child on the bus, open or not."""
        return self.item(menu, name).getChildAtIndex(0)

    # The screen.

    def screenshot(self, name, crop=None):
        """Saves the screen, or the part `crop` = (x, y, width, height) of it, as NAME.png in
        the test's folder; also in $QUELMO_DESKTOP_SHOTS when that is set, to be looked at."""
        path = os.path.join(self.work, name + ".png")
        self.run("import", "-window", "root", path)
        if crop:
            x, y, width, height = crop
            self.run("convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage", path)
        if os.environ.get("QUELMO_DESKTOP_SHOTS"):
            shutil.copy(path, os.environ["QUELMO_DESKTOP_SHOTS"])
        return path

    def read_screen(self, crop, name="read"):
        """The text tesseract reads in `crop`, enlarged three times. Greyed text is kept: the
        image is made grey and thresholded high, so that black and grey text on a light menu
        both come out black on white (white text on a selected item does not)."""
        shot = self.screenshot(name, crop)
        enlarged = os.path.join(self.work, name + "-enlarged.png")
        self.run("convert", shot, "-resize", "300%", "-colorspace", "Gray",
                 "-threshold", "90%", enlarged)
        return self.run("tesseract", enlarged, "-", "--psm", "4", check=False)

    def _tray_panel(self):
        """trayer's panel as (x, y, width, height), or None."""
        found = self.run("xdotool", "search", "--name", "^panel$", check=False).split()
        if not found:
            return None
        geometry = self.run("xdotool", "getwindowgeometry", "--shell", found[0])
        values = dict(line.split("=") for line in geometry.split())
        return tuple(int(values[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))

    def tray_icon(self):
        """The centre of Quelmo's tray icon, once it is docked: the tray's only icon, in the
        panel trayer keeps at the top right of the screen, which widens to hold it."""
        x, y, width, height = self._tray_panel()
        return (x + width // 2, y + height // 2) if width > height // 2 else None


def main(tests, *, tray=False):
    """Runs each test in a desktop of its own; argv[1] is the quelmo to test."""
    missing = missing_packages()
    if missing:
        print("skipped: these packages are not installed: " + " ".join(missing))
        sys.exit(SKIPPED)
    if not os.environ.get("QUELMO_DESKTOP_BUS"):
        # A session bus of its own, which the accessibility bus is found through.
        os.execvpe("dbus-run-session",
                   ["dbus-run-session", "--", sys.executable, *sys.argv],
                   dict(os.environ, QUELMO_DESKTOP_BUS="1"))
    desktop = Desktop(os.path.abspath(sys.argv[1]), tray)
    failed = []
    try:
        for test in tests:
            desktop.begin()
            try:
                test(desktop)
                print(f"ok {test.__name__}")
            except Exception as error:
                failed.append(test.__name__)
                print(f"FAILED {test.__name__}: {error}")
                try:  # kept with QUELMO_DESKTOP_SHOTS, to see what the screen showed
                    desktop.screenshot(f"failed-{test.__name__}")
                except Exception:
                    pass
                if not isinstance(error, Failure):
                    traceback.print_exc()
                try:
                    with open(desktop.log, encoding="utf-8", errors="replace") as log:
                        print("".join(log.readlines()[-20:]))
                except FileNotFoundError:
                    pass
            finally:
                desktop.end()
    finally:
        desktop.close()
    sys.exit(1 if failed else 0)
