"""Index Coverage on the real quelmo, read through the accessibility bus, run without the
privilege to read past file permissions: the window from the menu and from the status line, its header
during a verification, the unreadable folder it lists, the exclusions editor, and
quelmo-cli coverage telling the same numbers."""

import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import Failure  # noqa: E402

TITLE = "Index Coverage"
NAME_CHANGED = "object:property-change:accessible-name"
PARTIAL = re.compile(r"^Partial index • 1 inaccessible paths • Index Coverage…")


def coverage_window(d):
    return d.wait(lambda: next((w for w in d.windows() if w.name == TITLE), None),
                  "Index Coverage did not open")


def show_panel(d):
    """The panel, shown unless it shows already (Alt+Space would hide it)."""
    if not d.find("text", "Search"):
        d.key("alt+space")
    d.wait(lambda: d.find("text", "Search"), "Alt+Space did not show the panel")


def cli_coverage(d):
    database = os.path.join(d.env["XDG_DATA_HOME"], "Nexdir", "index-v2.sqlite3")
    return json.loads(d.run(sys.argv[2], "coverage", "--db", database))


def labels(d, window):
    window.clear_cache()  # libatspi's copy of a window's labels may lag behind their text
    return [label.name for label in d.find_all("label", within=window)]


def header_titles(d, window):
    return [name for name in labels(d, window) if name in (
        "Some locations could not be read", "No unreadable locations recorded",
        "Checking your index", "Reading index coverage…")]


def test_coverage_of_a_tree_with_an_unreadable_folder(d):
    # Enough folders that a verification is seen as it runs.
    for number in range(1500):
        os.makedirs(os.path.join(d.tree, "projects", f"p{number // 50}", f"d{number}"))
    open(os.path.join(d.tree, "projects", "report.pdf"), "w").close()
    for number in range(20):
        os.makedirs(os.path.join(d.tree, "music", f"album{number}"))
    locked = os.path.join(d.tree, "locked")
    os.makedirs(os.path.join(locked, "inside"))
    os.chmod(locked, 0)
    d.settings(didShowFullDiskAccessOnboarding=True)
    seen = []
    d.atspi.Registry.registerEventListener(
        lambda event: seen.append(event.source.name if event.source else ""), NAME_CHANGED)
    quelmo = d.launch(unprivileged=True)
    d.wait(lambda: quelmo.log_count(" scan installed items="), "no index was built", 120)

    # From the menu.
    show_panel(d)
    d.wait_for("label", PARTIAL, "the status does not point to Index Coverage")
    d.choose(d.panel_menu(), "Options", "Index Coverage…")
    window = coverage_window(d)
    d.wait(lambda: "Some locations could not be read" in labels(d, window),
           f"the header says {labels(d, window)}")
    d.wait_for("table cell", locked, "the unreadable folder is not listed", within=window)
    d.screenshot("coverage-unreadable")
    # The numbers are quelmo-cli's.
    told = cli_coverage(d)
    if told["paths"] != [locked] or told["inaccessibleCount"] != 1 or not told["completed"]:
        raise Failure(f"quelmo-cli coverage says {told}")
    for name, count in (("Indexed files & folders", told["indexedItems"]),
                        ("Unreadable paths", told["inaccessibleCount"])):
        if name not in labels(d, window) or f"{count:,}" not in labels(d, window):
            raise Failure(f"quelmo-cli counts {count} for {name}; the window: {labels(d, window)}")

    # The header follows a verification as it runs, and comes back after it.
    # A small tree is verified in a moment: every title the header takes is caught as it is
    # given to the bus (listened for since the launch: a listener takes a while to reach the
    # application), and looked for besides.
    seen.clear()
    d.press(d.find("push button", "Verify Index", within=window))
    d.wait(lambda: seen.extend(header_titles(d, window)) or "Checking your index" in seen,
           f"the header never said the index was being checked: {seen}", 60)
    d.wait(lambda: header_titles(d, window) == ["Some locations could not be read"],
           f"after the verification the header says {labels(d, window)}", 60)
    d.close_with_escape(window)

    # From the status line: a click on it.
    show_panel(d)
    status = d.wait_for("label", PARTIAL, "the status does not point to Index Coverage")
    x, y, width, height = status.queryComponent().getExtents(d.atspi.DESKTOP_COORDS)
    d.click(x + width // 2, y + height // 2)
    window = coverage_window(d)
    d.wait_for("table cell", locked, "the unreadable folder is not listed", within=window)

    # Excluding a folder through the editor: its items counted, applied with one button.
    d.press(d.find("push button", "Edit Exclusions…", within=window))
    editor = d.wait(lambda: next((w for w in d.windows() if w.name == "Excluded Folders"), None),
                    "Edit Exclusions opened no editor")
    d.press(d.find("push button", "Add Folder…", within=editor), opens_window=True)
    chooser = d.wait(lambda: next((w for w in d.windows()
                                   if w.name == "Choose folders to exclude"), None),
                     "Add Folder opened no chooser")
    field = d.wait(lambda: next((t for t in d.find_all("text", within=chooser)
                                 if d.enabled(t)), None), "the chooser has no name field")
    field.queryEditableText().setTextContents(os.path.join(d.tree, "projects"))
    d.key("Return")
    d.wait(lambda: not d.showing(chooser), "the chooser stayed open")
    d.wait_for("table cell", re.compile(r"^1,\d\d\d items$"),
               "the items the folder keeps out were not counted", within=editor)
    d.screenshot("exclusions-editor")
    d.press(d.find("push button", "Apply", within=editor))
    d.wait(lambda: cli_coverage(d)["excluded"] == [os.path.join(d.tree, "projects")],
           "the exclusion was not applied", 60)
    d.wait(lambda: cli_coverage(d)["indexedItems"] == 23, "the excluded items stayed indexed",
           60)
    d.press(d.find("page tab", "Your exclusions", within=window))
    d.wait_for("table cell", os.path.join(d.tree, "projects"),
               "Your exclusions does not list the folder", within=window)
    d.screenshot("coverage-exclusions")
    d.press(d.find("page tab", "Built-in exclusions", within=window))
    d.wait_for("label", "Other volumes & network mounts", within=window)
    d.screenshot("coverage-built-in")
    quelmo.stop()

    # Past the watch limit (a stand-in just past the reserve: three watches), the window says
    # how many folders are checked instead, as quelmo-cli coverage counts them, and how to
    # raise the limit.
    d.env["NEXDIR_WATCH_LIMIT"] = "8195"
    quelmo = d.launch(unprivileged=True)
    show_panel(d)
    d.choose(d.panel_menu(), "Options", "Index Coverage…")
    window = coverage_window(d)
    checked = re.compile(r"^([\d,]+) folders are checked every 30 s instead of watched")
    said = d.wait(lambda: next((m for m in map(checked.search, labels(d, window)) if m), None),
                  f"the window does not say what is not watched: {labels(d, window)}", 60)
    told = cli_coverage(d)
    if said.group(1) != f"{told['unwatchedFolders']:,}" or told["unwatchedFolders"] < 1:
        raise Failure(f"the window says {said.group(0)!r}; quelmo-cli coverage says {told}")
    if not d.find("push button", "Copy command", within=window):
        raise Failure("no Copy command")
    d.screenshot("coverage-watch-limit")
    quelmo.stop()


desktop.main([test_coverage_of_a_tree_with_an_unreadable_folder])
