"""The real quelmo's Large Files list, read through the accessibility bus: the largest file
of an index whose sizes are not measured yet comes first once the list has measured them,
and Move to Trash… puts it into the Trash after its confirmation, leaving the list."""

import os
import re
import sqlite3
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import Failure  # noqa: E402

MEASURED = "Largest indexed files • sorted by space on disk • unavailable sizes last"


def allocated_file(path, size):
    with open(path, "wb") as file:
        os.posix_fallocate(file.fileno(), 0, size)


def fill_tree(d):
    for folder in range(40):
        path = os.path.join(d.tree, f"album-{folder}")
        os.makedirs(path)
        for file in range(100):
            with open(os.path.join(path, f"note-{file}.txt"), "w") as note:
                note.write("x" * file)
    allocated_file(os.path.join(d.tree, "album-7", "holiday-video.mkv"), 50_000_000)
    allocated_file(os.path.join(d.tree, "album-3", "backup.tar"), 5_000_000)


def forget_sizes(d):
    """Leaves the index as an index the panel has still to measure holds it."""
    index = sqlite3.connect(os.path.join(d.env["XDG_DATA_HOME"], "Nexdir", "index-v2.sqlite3"))
    with index:
        index.execute("UPDATE entries SET allocated_size = NULL")
    index.close()


def test_large_files_lists_measures_and_moves_to_the_trash(d):
    d.settings(didShowFullDiskAccessOnboarding=True)
    fill_tree(d)
    quelmo = d.launch()
    d.wait(lambda: quelmo.log_count(" recovery state ready=true "), "the index never became ready",
           seconds=120)
    quelmo.stop()
    forget_sizes(d)

    quelmo = d.launch()
    d.key("alt+space")
    d.wait(lambda: d.find("text", "Search"), "the panel did not show")
    # A checkable button: a check box to a screen reader, which toggles it.
    d.press(d.wait_for("check box", "Large Files"))
    d.wait_for("label", "Largest individual files", "the mode's title did not show")
    d.wait_for("label", MEASURED, "the measurement did not end with its final text")
    first = d.wait_for("table cell", re.compile(r"^holiday-video\.mkv, file, in "),
                       "the 50 MB file is not listed")
    cells = d.find_all("table cell", re.compile(r", file, in "))
    if cells[0].name != first.name or not cells[1].name.startswith("backup.tar, "):
        raise Failure(f"the list begins {[cell.name for cell in cells[:3]]}")
    d.wait_for("table cell", "50 MB on disk", "the first row does not show its size")
    d.wait_for("push button", re.compile(r"^Trash · "), "no Trash button")
    d.screenshot("large-files")

    # The first row is selected: its menu moves it, after the confirmation.
    menu = d.open_menu("shift+F10")
    item = d.item(menu, "Move to Trash…")
    if not d.enabled(item):
        raise Failure("Move to Trash… is greyed out for a file")
    d.choose(menu, "Move to Trash…", opens_window=True)
    d.wait_for("label", "Move holiday-video.mkv to Trash?", "no confirmation showed")
    d.screenshot("move-to-trash-confirmation")
    d.press(d.wait_for("push button", "Move to Trash"), opens_window=True)
    d.wait_for("label", "Moved holiday-video.mkv to Trash. Space is freed when Trash is emptied.",
               "the move was not reported")
    trash = os.path.join(d.env["XDG_DATA_HOME"], "Trash")
    if not os.path.exists(os.path.join(trash, "files", "holiday-video.mkv")):
        raise Failure("the file is not in the Trash")
    if not os.path.exists(os.path.join(trash, "info", "holiday-video.mkv.trashinfo")):
        raise Failure("the Trash has no entry for the file")
    d.wait(lambda: not d.find("table cell", re.compile(r"^holiday-video\.mkv, ")),
           "the moved file is still listed")
    d.wait_for("push button", "Trash · 50 MB",
               "the Trash button does not count the moved file")
    d.screenshot("after-move-to-trash")
    quelmo.stop()


if __name__ == "__main__":
    desktop.main([test_large_files_lists_measures_and_moves_to_the_trash])
